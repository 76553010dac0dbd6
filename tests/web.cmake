# The browser player in headless Chromium (driven by Debian's python3-selenium), compared with
# `quillframer dump` of the same movies.
if(TARGET quillframer_web AND TARGET quillframer)
  add_executable(qf_web_make_adf web/make_adf.cpp)
  target_link_libraries(qf_web_make_adf PRIVATE qfauthor)
  add_test(NAME web_browser_test COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/web/browser_test.py)
  set_tests_properties(web_browser_test PROPERTIES
    ENVIRONMENT "QF_BUILD_DIR=${PROJECT_BINARY_DIR};QF_MAKE_ADF=$<TARGET_FILE:qf_web_make_adf>;QF_SOURCE_DIR=${PROJECT_SOURCE_DIR};QUILLFRAMER_PLUGIN=${PROJECT_BINARY_DIR}/quillframer.vtp"
    TIMEOUT 300)
endif()
# The collection gallery, from a hand-made catalogue and the demo's media; skipped without Chromium.
if(TARGET quillframer)
  add_test(NAME web_gallery_test COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/web/gallery_test.py)
  set_tests_properties(web_gallery_test PROPERTIES
    ENVIRONMENT "QF_BUILD_DIR=${PROJECT_BINARY_DIR};QUILLFRAMER_PLUGIN=${PROJECT_BINARY_DIR}/quillframer.vtp"
    SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
