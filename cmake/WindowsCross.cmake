# The Windows build on a Linux machine (toolchain: cmake/toolchain-mingw-w64.cmake). Included
# from the top-level CMakeLists.txt when building for Windows, before any target is made:
#
#   - GoogleTest built from /usr/src/googletest (Debian package googletest) with the same
#     compiler, as GTest::gtest, GTest::gmock, GTest::gtest_main and GTest::gmock_main;
#   - Asio and CLI11 (header-only Debian packages): a folder in the build tree with links to
#     just /usr/include/asio.hpp, /usr/include/asio/ and /usr/include/CLI/, added as a system
#     include folder (the host's /usr/include itself must never reach the mingw compiler);
#   - _WIN32_WINNT=0x0601 (Windows 7 and later) for every target;
#   - test programs run under Wine: CMAKE_CROSSCOMPILING_EMULATOR is scripts/wine-run, which
#     ctest uses to start a built .exe (one test per program, see tests/CMakeLists.txt).
#
# Programs using Asio's sockets link ws2_32 and mswsock (VEXANET_WINDOWS_SOCKET_LIBS).

if(NOT WIN32)
  message(FATAL_ERROR "WindowsCross.cmake is for Windows builds (see cmake/toolchain-mingw-w64.cmake)")
endif()

add_compile_definitions(_WIN32_WINNT=0x0601)
set(VEXANET_WINDOWS_SOCKET_LIBS ws2_32 mswsock)

# Header-only libraries of the host, one link each.
set(VEXANET_WINDOWS_HOST_HEADERS "${CMAKE_BINARY_DIR}/windows-host-headers")
file(MAKE_DIRECTORY "${VEXANET_WINDOWS_HOST_HEADERS}")
foreach(entry asio.hpp asio CLI)
  if(EXISTS "/usr/include/${entry}")
    file(CREATE_LINK "/usr/include/${entry}" "${VEXANET_WINDOWS_HOST_HEADERS}/${entry}" SYMBOLIC)
  endif()
endforeach()
include_directories(SYSTEM "${VEXANET_WINDOWS_HOST_HEADERS}")

# GoogleTest for the target. It is built only when a test needs it, and without -Werror: its
# warnings are not ours to fix.
set(VEXANET_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources for the Windows build")
if(NOT TARGET GTest::gtest AND EXISTS "${VEXANET_GOOGLETEST_SOURCE}/CMakeLists.txt")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  get_directory_property(_vexanet_saved_options COMPILE_OPTIONS)
  set(_vexanet_gtest_options ${_vexanet_saved_options})
  list(REMOVE_ITEM _vexanet_gtest_options -Werror)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_vexanet_gtest_options}")
  add_subdirectory("${VEXANET_GOOGLETEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_vexanet_saved_options}")
  # GoogleTest 1.11 and later name these aliases themselves.
  foreach(_vexanet_lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${_vexanet_lib})
      add_library(GTest::${_vexanet_lib} ALIAS ${_vexanet_lib})
    endif()
  endforeach()
  set(GTest_FOUND TRUE)
endif()

# Running the programs: under Wine when cross-building on Linux.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
  get_filename_component(_vexanet_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run" ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${_vexanet_wine_run}")
endif()
