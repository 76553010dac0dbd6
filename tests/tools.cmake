# The quillframer command, run as a program on movies written byte by byte.
qf_test(tools_dump_info_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools/dump_info_test.cpp LIBS qfauthor)
add_dependencies(tools_dump_info_test quillframer quillframer_vtp)
qf_test(tools_outputs_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools/outputs_test.cpp LIBS qfauthor qfhost)
add_dependencies(tools_outputs_test quillframer quillframer_vtp)
qf_test(tools_disks_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools/disks_test.cpp LIBS qfauthor qfhost)
add_dependencies(tools_disks_test quillframer quillframer_vtp)
find_package(nlohmann_json REQUIRED)
qf_test(tools_info_contents_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools/info_contents_test.cpp
        LIBS qfauthor qfhost nlohmann_json::nlohmann_json)
add_dependencies(tools_info_contents_test quillframer quillframer_vtp)
qf_test(tools_extract_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools/extract_test.cpp LIBS qfauthor)
add_dependencies(tools_extract_test quillframer quillframer_vtp)
# Every example of docs/commands.md, as printed.
add_test(NAME tools_docs_examples
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/tools/docs_examples.sh $<TARGET_FILE:quillframer> ${PROJECT_SOURCE_DIR})
# `cmake --install` into a temporary prefix, then the installed command on its own.
add_test(NAME tools_install COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/tools/install_check.sh ${PROJECT_BINARY_DIR})
