# Replays the fuzz seeds and every kept crash input (fuzz/regressions/) through OpenVideo and
# full playback under the sanitizers, so fixed crashes stay fixed.
qf_test(fuzz_regressions
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_regressions/replay_test.cpp
  LIBS qftesting)
