# Samples brought in from files: the WAV reader, linked directly.
add_executable(sample_tests instrument_wav_import_test.cpp)
target_link_libraries(sample_tests PRIVATE plinka_instrument ${PLINKA_GTEST})
gtest_discover_tests(sample_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
