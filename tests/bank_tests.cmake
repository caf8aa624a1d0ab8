# Bank files and the plinka-bank tool, which the end-to-end cases run.
add_executable(bank_tests tools_bank_test.cpp)
# The VST 2 binding too: bank files must match what it reports and saves.
target_link_libraries(bank_tests PRIVATE plinka_bank plinka_vst2 ${PLINKA_GTEST})
plinka_test_paths(bank_tests bankTool=$<TARGET_FILE:plinka-bank> render=$<TARGET_FILE:plinka-render>)
add_dependencies(bank_tests plinka-bank)
gtest_discover_tests(bank_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
# The .fti cases render imported and hand-typed banks through plinka-render.
add_dependencies(bank_tests plinka-render PLINKA)
