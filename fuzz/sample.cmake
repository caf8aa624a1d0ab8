# Sample files the editor and plinka-bank import: WAV (and .dmc) through the
# delta-modulation encoder.
plinka_fuzzer(wav_import_fuzz plinka_instrument)
