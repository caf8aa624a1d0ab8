# Bank files: the .fxb/.fxp container and the text bank; the core's .fti and
# module readers (binary modules and their text exports).
plinka_fuzzer(fx_file_fuzz plinka_bank)
plinka_fuzzer(text_bank_fuzz plinka_bank)
plinka_fuzzer(fti_file_fuzz plinka_instrument)
plinka_fuzzer(module_file_fuzz plinka_instrument)
plinka_fuzzer(module_text_fuzz plinka_instrument)
