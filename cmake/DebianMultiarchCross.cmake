# The part of the Linux cross builds that does not depend on the target (included by
# toolchain-aarch64-linux-gnu.cmake and toolchain-arm-linux-gnueabihf.cmake, which set
# VEXANET_CROSS_TRIPLE and CMAKE_SYSTEM_PROCESSOR first): Debian's cross compilers for the triple,
# and the target's libraries from Debian's packages of that architecture installed beside the
# host's (multiarch: /usr/lib/<triple>, headers in /usr/include).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VEXANET_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VEXANET_CROSS_TRIPLE}-g++)
# Libraries and CMake package files from the target's multiarch folders (lib/<triple>), never the
# host's; programs (python3, file, dpkg-shlibdeps) from the host.
set(CMAKE_LIBRARY_ARCHITECTURE ${VEXANET_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config reads the target's .pc files and the architecture-independent ones only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${VEXANET_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Running the built programs (ctest, the build's own steps): user-mode emulation.
get_filename_component(_vexanet_qemu_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_vexanet_qemu_run}")
