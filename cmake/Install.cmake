# Installation and the Debian packages.
#
#   <prefix>/bin/                       vexanet-server, vexanet-config, vexanet-board
#   <prefix>/libexec/vexanet/           vexanet-server-window (built with VEXANET_WINDOW_PROGRAM)
#   <prefix>/share/doc/vexanet/         README.md, docs/ (the pages it links to),
#                                       VexaNetCFG.bin.example (the defaults)
#   <prefix>/lib/systemd/system/        vexanet.service
#   <sysconfdir>/default/vexanet        the service's environment file (/etc with prefix /usr)
#
# Every destination is relative to the prefix, so `cmake --install BUILD --prefix DIR` stays inside
# DIR; only a system configuration folder outside the prefix (prefix /usr: /etc) is absolute, and
# DESTDIR applies to it as usual.
include(GNUInstallDirs)

set(VEXANET_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/vexanet")

# The systemd unit folder: an explicit VEXANET_SYSTEMD_UNITDIR, else what systemd's pkg-config
# file names for this prefix, else lib/systemd/system.
set(VEXANET_SYSTEMD_UNITDIR "" CACHE PATH
    "systemd system unit folder, relative to the prefix or absolute (empty: detect)")
set(_vexanet_unit_dir "lib/systemd/system")
if(VEXANET_SYSTEMD_UNITDIR)
  set(_vexanet_unit_dir "${VEXANET_SYSTEMD_UNITDIR}")
else()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    execute_process(
      COMMAND "${PKG_CONFIG_EXECUTABLE}" "--define-variable=prefix=${CMAKE_INSTALL_PREFIX}"
              "--define-variable=rootprefix=${CMAKE_INSTALL_PREFIX}"
              --variable=systemdsystemunitdir systemd
      OUTPUT_VARIABLE _vexanet_pc_unit_dir
      RESULT_VARIABLE _vexanet_pc_result
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_vexanet_pc_result EQUAL 0 AND _vexanet_pc_unit_dir)
      cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX "${_vexanet_pc_unit_dir}" NORMALIZE _vexanet_inside)
      if(_vexanet_inside)
        file(RELATIVE_PATH _vexanet_unit_dir "${CMAKE_INSTALL_PREFIX}" "${_vexanet_pc_unit_dir}")
      endif()
    endif()
  endif()
endif()

# The environment file: relative to the prefix when the configuration folder lies inside it.
set(VEXANET_DEFAULTS_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/vexanet")
cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX "${CMAKE_INSTALL_FULL_SYSCONFDIR}" NORMALIZE
           _vexanet_etc_inside)
if(_vexanet_etc_inside)
  file(RELATIVE_PATH _vexanet_defaults_dir "${CMAKE_INSTALL_PREFIX}"
       "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default")
else()
  set(_vexanet_defaults_dir "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default")
endif()

# The unit, with this installation's paths.
set(VEXANET_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
set(VEXANET_DOCDIR "${CMAKE_INSTALL_PREFIX}/${VEXANET_DOC_DIR}")
# Readiness and the watchdog where the server tells systemd (built with libsystemd); a plain
# process otherwise, which systemd takes as started once it runs.
if(VEXANET_HAVE_SYSTEMD)
  set(VEXANET_SERVICE_READINESS "Type=notify\nNotifyAccess=main\nWatchdogSec=30")
else()
  set(VEXANET_SERVICE_READINESS "Type=exec")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/vexanet.service.in
               ${PROJECT_BINARY_DIR}/packaging/vexanet.service @ONLY)
# One instance per board: vexanet@NAME.service with /etc/vexanet/NAME.env.
configure_file(${PROJECT_SOURCE_DIR}/packaging/vexanet@.service.in
               ${PROJECT_BINARY_DIR}/packaging/vexanet@.service @ONLY)

# The example configuration file: what `vexanet-config write` produces with its defaults.
set(_vexanet_example ${PROJECT_BINARY_DIR}/packaging/VexaNetCFG.bin.example)
add_custom_command(
  OUTPUT ${_vexanet_example}
  COMMAND vexanet-config write ${_vexanet_example}
  DEPENDS vexanet-config
  COMMENT "Writing the example configuration file VexaNetCFG.bin.example"
  VERBATIM)
add_custom_target(vexanet-config-example ALL DEPENDS ${_vexanet_example})

# Two components, one package each: "server" (everything a headless service needs, no toolkit)
# and "window" (the Qt window program the server hands over to on a display).
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME server)
install(TARGETS vexanet-server vexanet-config RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT server)
if(TARGET vexanet-board)
  install(TARGETS vexanet-board RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
endif()
if(TARGET vexanet-client)
  install(TARGETS vexanet-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
endif()
if(TARGET vexanet-server-window)
  install(TARGETS vexanet-server-window RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/vexanet
          COMPONENT window)
endif()

# Everything the install rules need, for a build of just that (scripts/package).
add_custom_target(vexanet-installables)
add_dependencies(vexanet-installables vexanet-server vexanet-config vexanet-config-example)
foreach(program vexanet-board vexanet-client vexanet-server-window)
  if(TARGET ${program})
    add_dependencies(vexanet-installables ${program})
  endif()
endforeach()
if(EXISTS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${VEXANET_DOC_DIR})
endif()
# The pages README.md links to, beside it, so its links work where it is installed.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${VEXANET_DOC_DIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
install(FILES ${_vexanet_example} DESTINATION ${VEXANET_DOC_DIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/vexanet.service
              ${PROJECT_BINARY_DIR}/packaging/vexanet@.service DESTINATION ${_vexanet_unit_dir})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vexanet.default DESTINATION ${_vexanet_defaults_dir}
        RENAME vexanet)

# Debian packages (scripts/package): vexanet_<version>_<arch>.deb, the server without a toolkit,
# and vexanet-window_<version>_<arch>.deb, the window program and its Qt libraries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexanet)
set(CPACK_DEB_COMPONENT_INSTALL ON)
if(TARGET vexanet-server-window)
  set(CPACK_COMPONENTS_ALL server window)
else()
  set(CPACK_COMPONENTS_ALL server)
endif()
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME vexanet)
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME vexanet-window)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "vexanet (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "vexanet-window")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "Operator window for VexaNet Server\n"
    "With this package installed, vexanet-server started on a desktop shows its\n"
    "operator window; without a display (the systemd service) it runs headless.")
string(JOIN "" CPACK_DEBIAN_WINDOW_DESCRIPTION ${CPACK_DEBIAN_WINDOW_DESCRIPTION})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VexaNet")
set(CPACK_PACKAGE_CONTACT "VexaNet maintainers <maintainers@vexanet.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "VexaNet Server lets one remote client at a time switch the eight relays of a\n"
    "board on a serial port over a line-based TCP text protocol, and lets a local\n"
    "operator watch and switch them in a window (package vexanet-window). Without\n"
    "a display it runs headless and reports its status on standard output. The\n"
    "package installs a systemd unit (vexanet.service), the configuration tool\n"
    "vexanet-config, the client vexanet-client and the simulated board vexanet-board.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# The package installs exactly where this build's paths (the unit's ExecStart, the environment
# file) point; DESTDIR staging keeps the absolute /etc destination inside the package.
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A cross build for another Linux machine (cmake/toolchain-aarch64-linux-gnu.cmake,
# toolchain-arm-linux-gnueabihf.cmake) makes the package of its target's Debian architecture
# (aarch64-linux-gnu: arm64, arm-linux-gnueabihf: armhf), and dpkg-shlibdeps reads that
# architecture's libraries, which are Debian's own packages of it installed beside the host's
# (multiarch), so the dependencies come out as those of a native build there.
# cpack runs CPackProjectConfig.cmake before it packs: it tells dpkg-shlibdeps.
set(VEXANET_DEB_HOST_ARCH "")
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE VEXANET_DEB_HOST_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  if(NOT VEXANET_DEB_HOST_ARCH)
    message(FATAL_ERROR
            "No Debian architecture for ${CMAKE_LIBRARY_ARCHITECTURE} (dpkg-architecture)")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VEXANET_DEB_HOST_ARCH})
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake
       "set(ENV{DEB_HOST_ARCH} ${VEXANET_DEB_HOST_ARCH})\n")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake)
endif()
find_program(VEXANET_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(VEXANET_FILE_PROGRAM file)
if(VEXANET_DPKG_SHLIBDEPS AND VEXANET_FILE_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(web_depends "")
  if(VEXANET_HAVE_WEB)
    set(web_depends ", libcpp-httplib0.11")
  endif()
  if(VEXANET_HAVE_SYSTEMD)
    string(APPEND web_depends ", libsystemd0")
  endif()
  if(VEXANET_HAVE_MQTT)
    string(APPEND web_depends ", libmosquitto1")
  endif()
  set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libstdc++6, libc6${web_depends}")
  set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS
      "vexanet (= ${PROJECT_VERSION}), libqt6widgets6, libqt6gui6, libqt6core6, libstdc++6, libc6${web_depends}")
endif()

# The environment file is the administrator's: a conffile. The maintainer scripts keep the
# service manager in step with the installed unit.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/deb/conffiles "${VEXANET_DEFAULTS_FILE}\n")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/deb/conffiles ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/prerm ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/\\\\.cache/")
include(CPack)
