// Where a test program finds the project's files. Each program gets a small
// generated source file that defines the paths it uses (tests/CMakeLists.txt,
// plinka_test_paths): as compile definitions they would make every source of
// the program differ between clones, and the compiler cache could not serve
// one clone's objects to the next.
#pragma once

namespace testpaths {

extern const char* const source;        // the project's source folder
extern const char* const binaryDir;     // this preset's build folder
extern const char* const vst2Plugin;    // PLINKA.so or PLINKA.dll
extern const char* const clapPlugin;    // Plinka.clap
extern const char* const vst3Bundle;    // the Plinka.vst3 folder
extern const char* const lv2Bundle;     // the Plinka.lv2 folder
extern const char* const render;        // plinka-render
extern const char* const bankTool;      // plinka-bank
extern const char* const nullPlugin;    // a do-nothing VST 2 plug-in
extern const char* const win32Dll;      // the 32-bit Windows DLL, for LMMS
extern const char* const withoutPidfd;  // runs a command without pidfd_open

}  // namespace testpaths
