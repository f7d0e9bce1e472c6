# The broker's client library for the MQTT bridge, as the target vexanet_mosquitto:
#  - Linux: Debian's libmosquitto-dev (a shared library, TLS included).
#  - Windows: the static library scripts/windows-deps cross-builds from Debian's source package
#    (without TLS), in VEXANET_WINDOWS_DEPS/mosquitto.
# The bridge also needs the JSON library (vexanet_json, WebDeps.cmake). Without either the
# program is built without the bridge (VEXANET_HAVE_MQTT is OFF) and says so.
set(VEXANET_HAVE_MQTT OFF)
if(NOT TARGET vexanet_json)
  message(STATUS "MQTT bridge: not built (needs nlohmann-json3-dev; scripts/bootstrap installs it)")
elseif(WIN32)
  set(mosquitto_dir "${VEXANET_WINDOWS_DEPS}/mosquitto")
  if(EXISTS "${mosquitto_dir}/include/mosquitto.h" AND
     EXISTS "${mosquitto_dir}/lib/libmosquitto_static.a")
    add_library(vexanet_mosquitto INTERFACE)
    target_include_directories(vexanet_mosquitto SYSTEM INTERFACE "${mosquitto_dir}/include")
    target_compile_definitions(vexanet_mosquitto INTERFACE LIBMOSQUITTO_STATIC)
    target_link_libraries(vexanet_mosquitto INTERFACE "${mosquitto_dir}/lib/libmosquitto_static.a"
                                                      ws2_32)
    set(VEXANET_HAVE_MQTT ON)
  else()
    message(STATUS "MQTT bridge: not built (no library in ${mosquitto_dir}; run scripts/windows-deps)")
  endif()
else()
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(LIBMOSQUITTO QUIET IMPORTED_TARGET libmosquitto)
  endif()
  if(LIBMOSQUITTO_FOUND)
    add_library(vexanet_mosquitto INTERFACE)
    target_link_libraries(vexanet_mosquitto INTERFACE PkgConfig::LIBMOSQUITTO)
    set(VEXANET_HAVE_MQTT ON)
  else()
    message(STATUS "MQTT bridge: not built (needs libmosquitto-dev; scripts/bootstrap installs it)")
  endif()
endif()
if(VEXANET_HAVE_MQTT)
  message(STATUS "MQTT bridge: built")
endif()
