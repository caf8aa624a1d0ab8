// The demo tune and its bank, built into plinka-render from
// tools/demo/plinka-demo.mid and tools/demo/plinka-demo-bank.txt.
#pragma once

#include <cstddef>
#include <cstdint>

extern const uint8_t kDemoSong[];
extern const size_t kDemoSongSize;
extern const uint8_t kDemoBank[];  // text
extern const size_t kDemoBankSize;
