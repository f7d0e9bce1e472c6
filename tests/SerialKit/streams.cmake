# Byte streams and pattern watcher, against an in-memory port.
vexanet_test(serialkit_streams_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/streams_test.cpp
  LIBS SerialKit
  LABELS concurrency)
vexanet_test(serialkit_looker_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/looker_test.cpp
  LIBS SerialKit
  LABELS concurrency)
