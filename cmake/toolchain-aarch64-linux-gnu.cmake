# Cross build for 64-bit ARM Linux (a Raspberry Pi 3/4/5 with a 64-bit system, other arm64
# hosts) with Debian's cross compilers and its arm64 libraries installed side by side with the
# host's (multiarch: /usr/lib/aarch64-linux-gnu, headers in /usr/include).
#
#   cmake -S . -B build/arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
#
# Packages: crossbuild-essential-arm64, the :arm64 -dev packages and qemu-user to run the tests
# (scripts/bootstrap --arm64 installs them; scripts/build-arm64 builds).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VEXANET_CROSS_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/DebianMultiarchCross.cmake)
