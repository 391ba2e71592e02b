# The link engine and its packet log.
tandril_add_test(tandril2_link_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vLinkTest.cpp LIBS tandril2 tandril_sim_module THREADED)
tandril_add_test(tandril2_packet_log_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vPacketDebugTest.cpp LIBS tandril2)
tandril_add_fuzzer(tandril2_link_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/vLinkFuzz.cpp LIBS tandril2 SECONDS 5)
