# Cross build for 64-bit Windows with Debian's mingw-w64 compilers (POSIX thread model, so
# std::thread and std::mutex work). Programs are linked statically (libstdc++, libgcc,
# winpthread): a built .exe runs on its own, on Windows or under Wine.
#
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake
#
# Packages: g++-mingw-w64-x86-64-posix; wine64 to run the tests (see cmake/WindowsCross.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEXANET_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEXANET_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXANET_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXANET_MINGW_TRIPLE}-windres)

# Libraries and headers come from the mingw sysroot only, never from the host's /usr/include;
# programs (python3, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VEXANET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
