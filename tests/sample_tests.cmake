# Samples brought in from files: the WAV reader, the .dmc reader and the
# delta-modulation encoder, linked directly; the round trip through a WAV file
# writes it with plinka-render's writer.
add_executable(sample_tests instrument_wav_import_test.cpp instrument_dpcm_encoder_test.cpp)
target_link_libraries(sample_tests PRIVATE plinka_instrument plinka_render ${PLINKA_GTEST})
gtest_discover_tests(sample_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
