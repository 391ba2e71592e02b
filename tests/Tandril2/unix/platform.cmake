# Files, mutexes, threads, time, and the USB transfer error tolerance.
tandril_add_test(tandril2_file_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileTest.cpp LIBS tandril2)
tandril_add_test(tandril2_mutex_thread_time_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/MutexThreadTimeTest.cpp LIBS tandril2 THREADED)
