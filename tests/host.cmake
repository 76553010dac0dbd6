# The stand-in host's services, the loaded plug-in's ABI, and the plug-in's open wrapper.
qf_test(host_services_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/services_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/host/time_test.cpp
  LIBS qfhost qfauthor)
qf_test(host_abi_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/abi_test.cpp LIBS qfhost qfauthor)
add_dependencies(host_abi_test quillframer_vtp)
qf_test(host_open_wrapper_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/open_wrapper_test.cpp LIBS qftesting)
qf_test(host_explain_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/explain_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/host/survey_test.cpp
  LIBS qfhost qfauthor)
# Volumes: AmigaDOS images against unadf, LHA archives against lhasa, directories beneath their root.
qf_test(host_adf_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/adf_test.cpp LIBS qfhost qfauthor)
qf_test(host_volume_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/volume_test.cpp LIBS qfhost qfauthor)
add_dependencies(host_volume_test quillframer_vtp quillframer)
# LHA archives against hostile headers, and the kept fuzz inputs (fuzz/regressions/lha_volume/).
qf_test(host_lha_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/lha_test.cpp LIBS qfhost qfauthor)
# Containers inside containers, and the limits on nesting.
qf_test(host_volume_member_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/volume_member_test.cpp LIBS qfhost qfauthor)
# ZIP, 7-Zip, tar and compressed streams, against zip/unzip/gzip, and one path through nests.
qf_test(host_packed_volume_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/packed_volume_test.cpp
        LIBS qfhost qfauthor PkgConfig::LIBARCHIVE)
qf_test(host_extract_volume_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/extract_volume_test.cpp LIBS qfhost)
# DMS archives against xdms, with damaged, cut and encrypted ones.
qf_test(host_dms_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host/dms_test.cpp LIBS qfhost qfauthor)
