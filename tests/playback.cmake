# Timeline, frame compositor and audio mixer, on movies written with qfauthor and opened through the parser.
set(QF_PLAYBACK_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/playback)
qf_test(playback_tests
  SOURCES ${QF_PLAYBACK_TESTS}/timeline_test.cpp ${QF_PLAYBACK_TESTS}/compositor_test.cpp
          ${QF_PLAYBACK_TESTS}/mixer_test.cpp
  LIBS qftesting)
