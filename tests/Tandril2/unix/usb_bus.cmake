# USB access against the virtual USB bus.
if(COMMAND tandril_add_usb_test)
    tandril_add_usb_test(tandril2_tdusb_bus_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/TdusbBusTest.cpp LIBS tandril2)
endif()
