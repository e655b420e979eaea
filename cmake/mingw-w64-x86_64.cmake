# Cross-compiles the server for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix thread model is the one whose C++ runtime has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VARN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CTest, and the test discovery, run the Windows executables on this machine.
find_program(VARN_WINE_PROGRAM NAMES wine wine64)
if(VARN_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARN_WINE_PROGRAM})
endif()
