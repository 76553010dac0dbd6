# qfutil: the process pool, and the output rules where they meet the host's disk images.
qf_test(util_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/util/util_test.cpp LIBS qfutil qfhost qfauthor)
