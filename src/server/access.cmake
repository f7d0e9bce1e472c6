# vexanet_access: who may switch the relays (listen addresses, allowed clients, initial password,
# password requirement, back-off after rejected passwords and their overall limit, the limits on
# quiet clients), from the environment. Free of the window toolkit, so the companion tools use it
# too and agree with the server.
#
# Included from src/server/CMakeLists.txt: include(${CMAKE_CURRENT_LIST_DIR}/access.cmake)
if(NOT TARGET vexanet_access)
  add_library(vexanet_access STATIC ${CMAKE_CURRENT_LIST_DIR}/AccessPolicy.cpp)
  target_include_directories(vexanet_access PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
  target_compile_definitions(vexanet_access PUBLIC ASIO_STANDALONE ASIO_NO_DEPRECATED)
  target_link_libraries(vexanet_access PUBLIC Threads::Threads)
  if(WIN32)
    target_link_libraries(vexanet_access PUBLIC ws2_32 mswsock)  # Asio's address parsing
  endif()
  set_target_properties(vexanet_access PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
endif()
