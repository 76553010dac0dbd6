# The authoring library's front ends: what the `make` script reader accepts and refuses, and the
# colours it gives faces.
if(TARGET qfauthor_frontends)
  qf_test(authoring_make_script_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/authoring/make_script_test.cpp
          LIBS qfauthor_frontends qftesting qfhost)
  qf_test(authoring_make_colours_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/authoring/make_colours_test.cpp
          LIBS qfauthor_frontends qftesting qfhost)
endif()
