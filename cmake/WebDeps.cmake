# The HTTP and JSON libraries of the web panel, as two targets: vexanet_httplib, vexanet_json.
#  - Linux: Debian's packages (libcpp-httplib-dev, a shared library; nlohmann-json3-dev).
#  - Windows: the headers scripts/windows-deps takes from Debian's source packages (the HTTP
#    library header-only, without TLS), in VEXANET_WINDOWS_DEPS/include.
# Without them the program is built without the web panel (VEXANET_HAVE_WEB is OFF) and says so.
set(VEXANET_HAVE_WEB OFF)
if(WIN32)
  set(VEXANET_WINDOWS_DEPS "${PROJECT_SOURCE_DIR}/build/deps/windows" CACHE PATH
      "Headers for the Windows build (scripts/windows-deps)")
  set(deps_include "${VEXANET_WINDOWS_DEPS}/include")
  if(EXISTS "${deps_include}/httplib.h" AND EXISTS "${deps_include}/nlohmann/json.hpp")
    # Header-only, without TLS, compression or brotli (none of CPPHTTPLIB_*_SUPPORT), so Winsock
    # is all it links; its "#pragma comment(lib)" lines are for MSVC only. It waits with select()
    # (not WSAPoll) and builds with any _WIN32_WINNT (ours is 0x0601, WindowsCross.cmake); on
    # Windows 7 before SP1 it falls back to a plain socket() itself.
    add_library(vexanet_httplib INTERFACE)
    # System headers: their warnings are not ours.
    target_include_directories(vexanet_httplib SYSTEM INTERFACE "${deps_include}")
    target_link_libraries(vexanet_httplib INTERFACE ws2_32)
    add_library(vexanet_json INTERFACE)
    target_include_directories(vexanet_json SYSTEM INTERFACE "${deps_include}")
    set(VEXANET_HAVE_WEB ON)
  else()
    message(STATUS "Web panel: not built (no headers in ${deps_include}; run scripts/windows-deps)")
  endif()
else()
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(CPPHTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
  endif()
  find_package(nlohmann_json 3 QUIET)
  if(CPPHTTPLIB_FOUND AND nlohmann_json_FOUND)
    add_library(vexanet_httplib INTERFACE)
    target_link_libraries(vexanet_httplib INTERFACE PkgConfig::CPPHTTPLIB)
    add_library(vexanet_json INTERFACE)
    target_link_libraries(vexanet_json INTERFACE nlohmann_json::nlohmann_json)
    set(VEXANET_HAVE_WEB ON)
  else()
    set(web_missing "")
    if(NOT CPPHTTPLIB_FOUND)
      list(APPEND web_missing libcpp-httplib-dev)
    endif()
    if(NOT nlohmann_json_FOUND)
      list(APPEND web_missing nlohmann-json3-dev)
    endif()
    list(JOIN web_missing " and " web_missing)
    message(STATUS "Web panel: not built (needs ${web_missing}; scripts/bootstrap installs them)")
  endif()
endif()
if(VEXANET_HAVE_WEB)
  message(STATUS "Web panel: built")
endif()
