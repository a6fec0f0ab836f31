# tess_launcher_tree(LIBRARY LAUNCHER DIR KEYS): the library (exports dlr_main and nothing else)
# in DIR/lib and the launcher, which returns dlr_main(argc, argv), in DIR/bin, both named
# tessinstaller; the library holds the classes and the maker keys of the object library KEYS.
function(tess_launcher_tree library launcher dir keys)
    add_library(${library} SHARED ${CMAKE_SOURCE_DIR}/src/dlr_main.cpp)
    target_link_libraries(${library} PRIVATE tessengine ${keys})
    target_compile_options(${library} PRIVATE ${TESS_WARNINGS})
    # On Windows the library sits beside the launcher, where the loader looks first, so the
    # launcher finds it without any PATH change; its import library goes to lib/.
    set_target_properties(${library} PROPERTIES
        OUTPUT_NAME tessinstaller
        LIBRARY_OUTPUT_DIRECTORY ${dir}/lib
        ARCHIVE_OUTPUT_DIRECTORY ${dir}/lib
        RUNTIME_OUTPUT_DIRECTORY ${dir}/bin)
    if(NOT WIN32)
        target_link_options(${library} PRIVATE
            -Wl,--version-script=${CMAKE_SOURCE_DIR}/src/tessinstaller.map -Wl,--exclude-libs,ALL)
        set_property(TARGET ${library} APPEND PROPERTY LINK_DEPENDS
            ${CMAKE_SOURCE_DIR}/src/tessinstaller.map)
    endif()

    add_executable(${launcher} ${CMAKE_SOURCE_DIR}/src/launcher/main.cpp)
    target_link_libraries(${launcher} PRIVATE ${library})
    target_compile_options(${launcher} PRIVATE ${TESS_WARNINGS})
    set_target_properties(${launcher} PROPERTIES
        OUTPUT_NAME tessinstaller
        RUNTIME_OUTPUT_DIRECTORY ${dir}/bin
        BUILD_RPATH "\$ORIGIN/../lib"
        INSTALL_RPATH "\$ORIGIN/../lib")
endfunction()
