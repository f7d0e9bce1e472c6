# Cross build for 32-bit ARM Linux with hardware floating point (Debian's armhf: a Raspberry Pi
# with a 32-bit system, ARMv7 boards) with Debian's cross compilers and its armhf libraries
# installed side by side with the host's (multiarch: /usr/lib/arm-linux-gnueabihf).
#
#   cmake -S . -B build/armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm-linux-gnueabihf.cmake
#
# Packages: crossbuild-essential-armhf, the :armhf -dev packages and qemu-user to run the tests
# (scripts/bootstrap --armhf installs them; scripts/build-arm64 --armhf builds).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VEXANET_CROSS_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/DebianMultiarchCross.cmake)

# GCC notes on every std::vector of a struct that its argument passing changed in GCC 7.1: that
# matters only when linking code built with a GCC before 7.1, which this build never does.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
