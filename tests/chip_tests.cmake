# The emulated chip on its own, linked with its requirement checks active.
add_executable(chip_tests
  chip_band_buffer_test.cpp
  chip_band_synth_test.cpp
  chip_apu_test.cpp
  chip_oscillators_test.cpp
  chip_voice_chip_test.cpp
  chip_delta_modulation_test.cpp
  chip_vrc6_test.cpp
  chip_s5b_test.cpp
  chip_mmc5_test.cpp
  chip_fds_test.cpp
  chip_n163_test.cpp
  chip_vrc7_test.cpp
  chip_sound_chip_test.cpp
  chip_level_log_test.cpp
  chip_console_chip_test.cpp
  chip_console_filter_test.cpp
)
target_link_libraries(chip_tests PRIVATE plinka_chip_checked ${PLINKA_GTEST})
gtest_discover_tests(chip_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
