# plinka-render's WAV writer, checked against libsndfile.
add_executable(wav_tests tools_wav_writer_test.cpp)
target_link_libraries(wav_tests PRIVATE plinka_render PkgConfig::SNDFILE ${PLINKA_GTEST})
gtest_discover_tests(wav_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
