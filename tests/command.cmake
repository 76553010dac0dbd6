# Suites that run the quillframer command as a program, on movies written with the authoring library.
qf_test(command_dump_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/dump_test.cpp LIBS qfauthor)
add_dependencies(command_dump_test quillframer quillframer_vtp)
find_package(PkgConfig REQUIRED)
pkg_check_modules(QF_MEDIA_TEST REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
qf_test(command_media_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/media_test.cpp
        LIBS PkgConfig::QF_MEDIA_TEST qfmedia)
add_dependencies(command_media_test quillframer quillframer_vtp)
qf_test(command_dump_info_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/dump_info_test.cpp LIBS qfauthor)
add_dependencies(command_dump_info_test quillframer quillframer_vtp)
qf_test(command_outputs_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/outputs_test.cpp LIBS qfauthor qfhost)
add_dependencies(command_outputs_test quillframer quillframer_vtp)
qf_test(command_disks_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/disks_test.cpp LIBS qfauthor qfhost)
add_dependencies(command_disks_test quillframer quillframer_vtp)
# Compressed disks and archives of them, nested, against gzip, zip, unzip and unadf.
qf_test(command_containers_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/containers_test.cpp LIBS qfauthor)
add_dependencies(command_containers_test quillframer quillframer_vtp)
find_package(nlohmann_json REQUIRED)
# Hard-disk images of several partitions, and compressed floppies found by their label.
qf_test(command_partitions_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/partitions_test.cpp
        LIBS qfauthor qftesting nlohmann_json::nlohmann_json)
add_dependencies(command_partitions_test quillframer quillframer_vtp)
qf_test(command_info_contents_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/info_contents_test.cpp
        LIBS qfauthor qfhost nlohmann_json::nlohmann_json)
add_dependencies(command_info_contents_test quillframer quillframer_vtp)
qf_test(command_extract_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/extract_test.cpp LIBS qfauthor)
add_dependencies(command_extract_test quillframer quillframer_vtp)
qf_test(command_scan_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/scan_test.cpp
        LIBS qfauthor qftesting nlohmann_json::nlohmann_json)
add_dependencies(command_scan_test quillframer quillframer_vtp)
# Every example of docs/commands.md, as printed.
add_test(NAME command_docs_examples
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/command/docs_examples.sh $<TARGET_FILE:quillframer> ${PROJECT_SOURCE_DIR})
# `cmake --install` into a temporary prefix, then the installed command on its own.
add_test(NAME command_install
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/command/install_check.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
# --help, the man page, docs/commands.md and the bash and zsh completions agree, and the generated
# parts are what scripts/gen-docs.py writes from today's options.
add_test(NAME command_options
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/command/options_check.sh $<TARGET_FILE:quillframer> ${PROJECT_SOURCE_DIR})
add_test(NAME command_docs_generated
         COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/gen-docs.py --check $<TARGET_FILE:quillframer>)
# The gallery page written from hand-made catalogues.
qf_test(command_gallery_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command/gallery_test.cpp LIBS qftools_gallery)
