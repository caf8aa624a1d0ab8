# The Standard MIDI File reader.
plinka_fuzzer(midi_file_fuzz plinka_midi)
