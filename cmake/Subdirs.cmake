# tandril_add_subdirs([EXCLUDE names...]): adds every immediate subfolder that has a
# CMakeLists.txt, so a new component only needs its own folder.
function(tandril_add_subdirs)
    cmake_parse_arguments(S "" "" "EXCLUDE" ${ARGN})
    file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT children)
    foreach(child ${children})
        get_filename_component(leaf ${child} NAME)
        if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt AND NOT leaf IN_LIST S_EXCLUDE)
            add_subdirectory(${child})
        endif()
    endforeach()
endfunction()
