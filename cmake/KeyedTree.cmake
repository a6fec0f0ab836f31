# The keyed tree, build/keyed/: the launcher and library again, differing from build/bin and
# build/lib only in their compiled-in maker key, a demo key made here at configure time (its
# private half, keyed/demo-maker-key.pem, is what the stand-in service signs the demo's and the
# tests' product lists with). build/ itself stays a developer's build. The images and style sheet
# are build/lib/Resources, reached through a link.
if(CMAKE_CROSSCOMPILING OR NOT TESS_OPENSSL)
    return()
endif()
set(TESS_KEYED_DIR ${CMAKE_BINARY_DIR}/keyed)
set(TESS_DEMO_KEY ${TESS_KEYED_DIR}/demo-maker-key.pem)
file(MAKE_DIRECTORY ${TESS_KEYED_DIR}/lib)
if(NOT EXISTS ${TESS_DEMO_KEY})
    execute_process(COMMAND ${TESS_OPENSSL} ecparam -genkey -name prime256v1 -noout
        -out ${TESS_DEMO_KEY} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "Could not make the demo maker key")
    endif()
    file(CHMOD ${TESS_DEMO_KEY} PERMISSIONS OWNER_READ OWNER_WRITE)
endif()
execute_process(COMMAND ${TESS_OPENSSL} pkey -in ${TESS_DEMO_KEY} -pubout
    -out ${TESS_KEYED_DIR}/demo-maker-key.pub.pem RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "Could not read the demo maker key ${TESS_DEMO_KEY}")
endif()

tess_maker_keys(tessdemokeys ${TESS_KEYED_DIR}/demo-maker-key.pub.pem "")
tess_launcher_tree(tessinstaller_keyed tessinstaller_keyed_launcher ${TESS_KEYED_DIR} tessdemokeys)
file(CREATE_LINK ${TESS_RESOURCES_DIR} ${TESS_KEYED_DIR}/lib/Resources SYMBOLIC)
add_dependencies(tessinstaller_keyed_launcher tessresources)
