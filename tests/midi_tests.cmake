# The Standard MIDI File reader.
add_executable(midi_tests tools_midi_file_test.cpp)
target_link_libraries(midi_tests PRIVATE plinka_midi ${PLINKA_GTEST})
gtest_discover_tests(midi_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
