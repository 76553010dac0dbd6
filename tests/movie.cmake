qf_test(movie_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/movie/parser_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/movie/post_pass_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/movie/resolver_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/movie/teardown_test.cpp
  LIBS qftesting qfauthor)
