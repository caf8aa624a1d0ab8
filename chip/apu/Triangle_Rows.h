// The triangle's steps up and down as add_cycle_steps reads them: the
// 12-wide synthesiser's window table times +1 and -1, in its aligned copies.
// Every triangle at one volume and treble has the same, so they share one
// set: the eight voices' triangles then read 33 KB, which stays in the
// processor's nearest cache, where eight sets of their own would not.
#pragma once

#include "chip/Band_Synth.h"

#include <cstdint>
#include <memory>

class Triangle_Rows {
public:
    using Synth = Band_Synth<12>;

    // The set for `synth`'s present table: the one another triangle holds,
    // or a new one. Takes a lock and may allocate: never on the audio thread.
    static std::shared_ptr<const Triangle_Rows> shared_for(const Synth& synth);

    const uint32_t* up() const { return up_; }
    const uint32_t* down() const { return down_; }

private:
    explicit Triangle_Rows(const Synth& synth);

    // What the table was made from: a set serves every synthesiser that agrees.
    double unit_;
    Treble_Eq eq_;
    alignas(64) uint32_t up_[Synth::aligned_table_words];
    alignas(64) uint32_t down_[Synth::aligned_table_words];
};
