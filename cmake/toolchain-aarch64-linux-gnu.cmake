# Cross build for 64-bit ARM Linux (a Raspberry Pi 3/4/5 with a 64-bit system, other arm64
# hosts) with Debian's cross compilers and its arm64 libraries installed side by side with the
# host's (multiarch: /usr/lib/aarch64-linux-gnu, headers in /usr/include).
#
#   cmake -S . -B build/arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
#
# Packages: crossbuild-essential-arm64, the :arm64 -dev packages and qemu-user to run the tests
# (scripts/bootstrap --arm64 installs them; scripts/build-arm64 builds).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VEXANET_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VEXANET_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VEXANET_CROSS_TRIPLE}-g++)
# Libraries and CMake package files from the multiarch folders of arm64 (lib/aarch64-linux-gnu),
# never the host's; programs (python3, file, dpkg-shlibdeps) from the host.
set(CMAKE_LIBRARY_ARCHITECTURE ${VEXANET_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config reads the arm64 .pc files and the architecture-independent ones only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${VEXANET_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Running the built programs (ctest, the build's own steps): user-mode emulation.
get_filename_component(_vexanet_qemu_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_vexanet_qemu_run}")
