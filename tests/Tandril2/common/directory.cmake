# Directory helpers: creation of whole paths, listing, home directory, path joining.
tandril_add_test(tandril2_directory_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/DirectoryTest.cpp LIBS tandril2)
