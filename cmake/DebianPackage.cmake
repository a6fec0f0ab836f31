# `cpack -G DEB` in a Linux build folder: the portable tree under /opt/tessinstaller, a
# `tessinstaller` command on the PATH, a desktop entry and its icon. The package's
# dependencies are read off the binaries by dpkg-shlibdeps.
set(TESS_DEB_PREFIX /opt/tessinstaller)

install(CODE "execute_process(COMMAND \${CMAKE_COMMAND} -E make_directory \$ENV{DESTDIR}/usr/bin)
    execute_process(COMMAND \${CMAKE_COMMAND} -E create_symlink
        ${TESS_DEB_PREFIX}/bin/tessinstaller \$ENV{DESTDIR}/usr/bin/tessinstaller)"
    COMPONENT deb)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/linux/tessinstaller.desktop
    DESTINATION /usr/share/applications COMPONENT deb)
install(FILES ${TESS_RESOURCES_DIR}/images/tessinstaller.png
    DESTINATION /usr/share/icons/hicolor/256x256/apps COMPONENT deb)
# Debian wants the changelog compressed, reproducibly (no name or time stamp in the header).
set(TESS_DEB_CHANGELOG ${CMAKE_BINARY_DIR}/deb/changelog.gz)
set(TESS_DEB_MANPAGE ${CMAKE_BINARY_DIR}/deb/tessinstaller.1.gz)
add_custom_command(OUTPUT ${TESS_DEB_CHANGELOG} ${TESS_DEB_MANPAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/deb
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/deploy/linux/changelog > ${TESS_DEB_CHANGELOG}
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/deploy/linux/tessinstaller.1 > ${TESS_DEB_MANPAGE}
    DEPENDS ${CMAKE_SOURCE_DIR}/deploy/linux/changelog ${CMAKE_SOURCE_DIR}/deploy/linux/tessinstaller.1)
add_custom_target(tessdebfiles ALL DEPENDS ${TESS_DEB_CHANGELOG} ${TESS_DEB_MANPAGE})
install(FILES ${TESS_DEB_MANPAGE} DESTINATION /usr/share/man/man1 COMPONENT deb)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/linux/copyright ${TESS_DEB_CHANGELOG}
    DESTINATION /usr/share/doc/tessinstaller COMPONENT deb)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/linux/lintian-overrides
    DESTINATION /usr/share/lintian/overrides RENAME tessinstaller COMPONENT deb)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessinstaller)
set(CPACK_PACKAGE_VENDOR Orrel)
set(CPACK_PACKAGE_CONTACT "Orrel support <support@orrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Installer for the Tessaline products")
set(CPACK_PACKAGE_DESCRIPTION "Signs in to the maker's service, surveys the machine for host
applications and installed products, and downloads and installs the offers
that fit, in a wizard or unattended.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${TESS_DEB_PREFIX})
set(CPACK_INSTALL_PREFIX ${TESS_DEB_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library is private to the launcher; dpkg-shlibdeps finds it through the launcher's RPATH.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${TESS_DEB_PREFIX}/lib)
include(CPack)
