// Tracker instrument files (.fti) built byte by byte, for the tests of the
// reader, of plinka-bank and of files dropped on the editor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ftitest {

// A sequence as a file holds it; enabled false writes one 0 byte.
struct FtiSequence {
    bool enabled = true;
    std::vector<int> items;
    int32_t loop = -1;
    int32_t release = -1;
    int32_t setting = 0;
};

inline FtiSequence seq(std::vector<int> items, int32_t loop = -1, int32_t release = -1, int32_t setting = 0)
{
    FtiSequence sequence;
    sequence.items = std::move(items);
    sequence.loop = loop;
    sequence.release = release;
    sequence.setting = setting;
    return sequence;
}

inline FtiSequence off()
{
    FtiSequence sequence;
    sequence.enabled = false;
    return sequence;
}

// A DPCM key map entry: the tracker's note (octave * 12 + note), sample
// (1 + its index, 0 for none), pitch (rate, 0x80 loop), delta (2.4 on; bit 7: none).
struct FtiKey {
    int note = 0;
    int sample = 1;
    int pitch = 15;
    int delta = 0xFF;
};

struct FtiSample {
    int32_t index = 0;
    std::string name = "kick";
    std::string bytes;
};

// An .fti file laid down field by field as the given version has them.
struct FtiBuilder {
    std::string version = "2.4";
    int type = 1;  // 2: VRC6, 3: VRC7, 4: FDS, 5: N163, 6: 5B
    std::string name = "Inst";
    std::vector<FtiSequence> sequences = std::vector<FtiSequence>(5, off());
    std::vector<FtiKey> dpcmKeys;
    std::vector<FtiSample> dpcmSamples;
    // FDS: wave, modulation table, speed, depth, delay, then three sequences
    // (volume, arpeggio, pitch) of their own layout: an int32 count (0 for
    // one not enabled), loop, release, setting, items.
    std::vector<int> fdsWave = std::vector<int>(64, 0);
    std::vector<int> fdsMod = std::vector<int>(32, 0);
    int32_t modSpeed = 0, modDepth = 0, modDelay = 0;
    std::vector<FtiSequence> fdsSequences = std::vector<FtiSequence>(3, off());
    // N163: after the sequences, wave size, position, count and the samples;
    // in a 2.5 file the auto position flag may come after the position.
    int32_t waveSize = 4;
    int32_t wavePosition = 0;
    std::optional<int32_t> autoPosition;
    std::vector<std::vector<int>> waves;
    // VRC7: its patch, then the eight bytes of the custom patch, whatever the patch.
    int32_t vrc7Patch = 0;
    std::vector<int> vrc7Custom = {0x01, 0x21, 0x00, 0x00, 0x00, 0xF0, 0x00, 0x0F};

    std::vector<unsigned char> bytes() const
    {
        const int number = (version[0] - '0') * 10 + (version[2] - '0');
        std::vector<unsigned char> out;
        const auto text = [&](const std::string& s) { out.insert(out.end(), s.begin(), s.end()); };
        const auto int32 = [&](int32_t value) {
            for (int shift = 0; shift < 32; shift += 8)
                out.push_back(static_cast<unsigned char>(static_cast<uint32_t>(value) >> shift));
        };
        text("FTI" + version);
        out.push_back(static_cast<unsigned char>(type));
        int32(static_cast<int32_t>(name.size()));
        text(name);
        if (type == 4) {
            for (const std::vector<int>* table : {&fdsWave, &fdsMod})
                for (int value : *table)
                    out.push_back(static_cast<unsigned char>(value));
            for (int32_t value : {modSpeed, modDepth, modDelay})
                int32(value);
            for (const FtiSequence& sequence : fdsSequences) {
                int32(sequence.enabled ? static_cast<int32_t>(sequence.items.size()) : 0);
                int32(sequence.enabled ? sequence.loop : -1);
                int32(sequence.enabled ? sequence.release : -1);
                int32(sequence.enabled ? sequence.setting : 0);
                if (sequence.enabled)
                    for (int item : sequence.items)
                        out.push_back(static_cast<unsigned char>(item));
            }
            return out;
        }
        if (type == 3) {
            int32(vrc7Patch);
            for (int value : vrc7Custom)
                out.push_back(static_cast<unsigned char>(value));
            return out;
        }
        out.push_back(static_cast<unsigned char>(sequences.size()));
        for (const FtiSequence& sequence : sequences) {
            out.push_back(sequence.enabled ? 1 : 0);
            if (!sequence.enabled)
                continue;
            int32(static_cast<int32_t>(sequence.items.size()));
            int32(sequence.loop);
            if (number >= 21)
                int32(sequence.release);
            if (number >= 22)
                int32(sequence.setting);
            for (int item : sequence.items)
                out.push_back(static_cast<unsigned char>(item));
        }
        if (type == 2 || type == 6)
            return out;  // VRC6 and 5B instruments end with their sequences
        if (type == 5) {
            int32(waveSize);
            int32(wavePosition);
            if (autoPosition)
                int32(*autoPosition);
            int32(static_cast<int32_t>(waves.size()));
            for (const std::vector<int>& wave : waves)
                for (int sample : wave)
                    out.push_back(static_cast<unsigned char>(sample));
            return out;
        }
        int32(static_cast<int32_t>(dpcmKeys.size()));
        for (const FtiKey& key : dpcmKeys) {
            for (int field : {key.note, key.sample, key.pitch})
                out.push_back(static_cast<unsigned char>(field));
            if (number >= 24)
                out.push_back(static_cast<unsigned char>(key.delta));
        }
        int32(static_cast<int32_t>(dpcmSamples.size()));
        for (const FtiSample& sample : dpcmSamples) {
            int32(sample.index);
            int32(static_cast<int32_t>(sample.name.size()));
            text(sample.name);
            int32(static_cast<int32_t>(sample.bytes.size()));
            text(sample.bytes);
        }
        return out;
    }
};

}  // namespace ftitest
