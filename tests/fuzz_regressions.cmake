# Replays the fuzz seeds and every kept crash input (fuzz/regressions/) through OpenVideo and
# full playback under the sanitizers, so fixed crashes stay fixed.
qf_test(fuzz_regressions
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_regressions/replay_test.cpp
  LIBS qftesting)
# And the kept `make` scripts (fuzz/regressions/make_script/), as the make fuzzer runs them.
if(TARGET qfauthor_frontends)
  qf_test(make_script_regressions
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_regressions/make_script_replay_test.cpp
    LIBS qfauthor_frontends qfhost)
endif()
