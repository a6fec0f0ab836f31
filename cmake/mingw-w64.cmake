# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threading variant).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The toolkit is Qt 5 built for mingw (tools/windows/build-toolkit.sh puts it in place); its
# folder is $TESS_WINDOWS_TOOLKIT, by default ~/.cache/tessinstaller/qt5-mingw.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TESS_MINGW_TRIPLE x86_64-w64-mingw32)

# The posix variants have std::mutex and std::thread, which the toolkit's test library needs.
find_program(CMAKE_C_COMPILER NAMES ${TESS_MINGW_TRIPLE}-gcc-posix ${TESS_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TESS_MINGW_TRIPLE}-g++-posix ${TESS_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TESS_MINGW_TRIPLE}-windres REQUIRED)

if(DEFINED ENV{TESS_WINDOWS_TOOLKIT})
    set(TESS_WINDOWS_TOOLKIT $ENV{TESS_WINDOWS_TOOLKIT})
else()
    set(TESS_WINDOWS_TOOLKIT $ENV{HOME}/.cache/tessinstaller/qt5-mingw)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${TESS_MINGW_TRIPLE} ${TESS_WINDOWS_TOOLKIT})
list(APPEND CMAKE_PREFIX_PATH ${TESS_WINDOWS_TOOLKIT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built for Windows run on this machine through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/windows/wine-run CACHE FILEPATH
    "Runs a Windows program here")
