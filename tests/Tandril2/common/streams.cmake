# Byte streams, COBS framing, and discovery.
tandril_add_test(tandril2_stream_core_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/StreamCoreTest.cpp LIBS tandril2)
tandril_add_test(tandril2_cobs_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/CobsTest.cpp LIBS tandril2)
tandril_add_test(tandril2_stream_socket_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/StreamSocketTest.cpp LIBS tandril2 THREADED)
tandril_add_test(tandril2_discovery_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/DiscoveryTest.cpp LIBS tandril2 NETNS)
tandril_add_fuzzer(tandril2_cobs_stream_fuzz
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/cobs_stream_fuzz.cpp LIBS tandril2 SECONDS 5)
