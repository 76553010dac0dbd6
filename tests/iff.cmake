# IFF readers of the plug-in and the IFF writers of the authoring library.
set(QF_IFF_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/iff)
qf_test(iff_decoder_test
  SOURCES ${QF_IFF_TESTS}/planar_decoder_test.cpp ${QF_IFF_TESTS}/iff_writer_test.cpp
  LIBS qftesting qfauthor)
qf_test(iff_loader_test
  SOURCES ${QF_IFF_TESTS}/background_loader_test.cpp ${QF_IFF_TESTS}/face_set_loader_test.cpp
          ${QF_IFF_TESTS}/sound_loader_test.cpp
  LIBS qftesting qfauthor)
qf_test(iff_peer_test SOURCES ${QF_IFF_TESTS}/peer_test.cpp LIBS qftesting qfauthor)
