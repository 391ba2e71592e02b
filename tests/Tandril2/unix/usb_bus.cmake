# USB access against the virtual USB bus (one emulated bus per process; the test
# re-executes itself under umockdev's preload, which AddressSanitizer must tolerate).
if(TARGET tandril_sim_usb)
    tandril_add_test(tandril2_tdusb_bus_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/TdusbBusTest.cpp LIBS tandril2 tandril_sim_usb)
    if(TARGET tandril2_tdusb_bus_test)
        set_tests_properties(tandril2_tdusb_bus_test PROPERTIES ENVIRONMENT
            "ASAN_OPTIONS=verify_asan_link_order=0;TANDRIL_BUILD_DIR=${CMAKE_BINARY_DIR};TANDRIL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
    endif()
endif()
