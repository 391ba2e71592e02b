# Serial and USB streams.
tandril_add_test(tandril2_stream_serial_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/StreamSerialTest.cpp LIBS tandril2 THREADED)
tandril_add_test(tandril2_tdusb_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/TdusbTest.cpp LIBS tandril2)
