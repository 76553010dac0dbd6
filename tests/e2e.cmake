# End to end through `quillframer dump`, on movies written with the authoring library.
qf_test(e2e_dump_tests SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/e2e/dump_test.cpp LIBS qfauthor)
add_dependencies(e2e_dump_tests quillframer quillframer_vtp)
