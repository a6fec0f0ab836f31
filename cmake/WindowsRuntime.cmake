# What a bare Windows machine needs beside the launcher: the toolkit's DLLs, its windows
# platform plugin (and the offscreen one, for runs without a desktop), the Vista style, and
# the runtime of the posix variant of mingw-w64. Copied into bin/ at build time and installed
# with it, so the build tree and the portable zip run as they are.
get_target_property(TESS_QT_CORE_DLL Qt5::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(TESS_QT_BIN_DIR ${TESS_QT_CORE_DLL} DIRECTORY)
get_filename_component(TESS_QT_PREFIX ${TESS_QT_BIN_DIR} DIRECTORY)
set(TESS_WINDOWS_DLLS)
foreach(module Core Gui Widgets Network Xml)
    list(APPEND TESS_WINDOWS_DLLS ${TESS_QT_BIN_DIR}/Qt5${module}.dll)
endforeach()
# The test programs need the test library; the program does not, so it is not installed.
set(TESS_WINDOWS_TEST_DLLS)
if(TESS_BUILD_TESTS)
    set(TESS_WINDOWS_TEST_DLLS ${TESS_QT_BIN_DIR}/Qt5Test.dll)
endif()

# The compiler knows where its own runtime lives.
foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
        find_file(found_${runtime} ${runtime}
            PATHS /usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
        set(found ${found_${runtime}})
    endif()
    if(NOT EXISTS "${found}")
        message(FATAL_ERROR "mingw-w64 runtime ${runtime} not found")
    endif()
    list(APPEND TESS_WINDOWS_DLLS ${found})
endforeach()

set(TESS_WINDOWS_PLUGINS platforms/qwindows.dll platforms/qoffscreen.dll
    styles/qwindowsvistastyle.dll)

set(TESS_WINDOWS_RUNTIME_OUTPUTS)
foreach(dll ${TESS_WINDOWS_DLLS} ${TESS_WINDOWS_TEST_DLLS})
    get_filename_component(name ${dll} NAME)
    add_custom_command(OUTPUT ${TESS_BIN_DIR}/${name}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dll} ${TESS_BIN_DIR}/${name}
        DEPENDS ${dll})
    list(APPEND TESS_WINDOWS_RUNTIME_OUTPUTS ${TESS_BIN_DIR}/${name})
endforeach()
install(FILES ${TESS_WINDOWS_DLLS} DESTINATION bin)
foreach(plugin ${TESS_WINDOWS_PLUGINS})
    get_filename_component(folder ${plugin} DIRECTORY)
    add_custom_command(OUTPUT ${TESS_BIN_DIR}/${plugin}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${TESS_BIN_DIR}/${folder}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${TESS_QT_PREFIX}/plugins/${plugin}
                ${TESS_BIN_DIR}/${plugin}
        DEPENDS ${TESS_QT_PREFIX}/plugins/${plugin})
    list(APPEND TESS_WINDOWS_RUNTIME_OUTPUTS ${TESS_BIN_DIR}/${plugin})
    install(FILES ${TESS_QT_PREFIX}/plugins/${plugin} DESTINATION bin/${folder})
endforeach()
add_custom_target(tesswindowsruntime ALL DEPENDS ${TESS_WINDOWS_RUNTIME_OUTPUTS})
add_dependencies(tessinstaller_launcher tesswindowsruntime)

# The portable zip: cpack -G ZIP (or cmake --install build-win --prefix DIR).
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tessinstaller)
set(CPACK_PACKAGE_FILE_NAME tessinstaller-${PROJECT_VERSION}-windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
