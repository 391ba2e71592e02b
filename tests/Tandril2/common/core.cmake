# Packets, error codes, UEI encoding, versions, model names and the packet FIFO.
tandril_add_test(tandril2_vError_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vError_test.cpp LIBS tandril2)
tandril_add_test(tandril2_vPacket_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vPacket_test.cpp LIBS tandril2)
tandril_add_test(tandril2_vUEI_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vUEI_test.cpp LIBS tandril2)
tandril_add_test(tandril2_vVersion_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/vVersion_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/vDefs_test.cpp LIBS tandril2)
tandril_add_test(tandril2_packetfifo_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/packetfifo_test.cpp
    LIBS tandril2 THREADED)

tandril_add_fuzzer(tandril2_packet_assembler_fuzz
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/packet_assembler_fuzz.cpp LIBS tandril2 SECONDS 5)
tandril_add_fuzzer(tandril2_uei_decoder_fuzz
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/uei_decoder_fuzz.cpp LIBS tandril2 SECONDS 5)
