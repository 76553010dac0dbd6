# quillframer export / frame / sheet / play / make / demo, run as a program; exports are decoded
# back with FFmpeg's libraries and compared with what `dump` gets from the plug-in.
find_package(PkgConfig REQUIRED)
pkg_check_modules(QF_MEDIA_TEST REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
qf_test(tools_media_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools_media/media_test.cpp
        LIBS PkgConfig::QF_MEDIA_TEST qfmedia)
add_dependencies(tools_media_test quillframer quillframer_vtp)
