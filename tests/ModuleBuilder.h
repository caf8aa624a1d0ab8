// Tracker modules built block by block, for the tests of plinka-bank's
// from-module. Each block is laid down as its version has it, so one set of
// instruments can be written as files of several tracker generations, and as
// the trackers' text export of the same instruments.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace ftmtest {

// A pool entry. For SEQUENCES versions 1 and 2, items are (value, length)
// pairs laid flat; version 1 writes no type.
struct ModSequence {
    int index = 0;
    int type = 0;
    std::vector<int> items;
    int32_t loop = -1;
    int32_t release = -1;
    int32_t setting = 0;
};

// A key of a 2A03 instrument: the tracker's note, sample (1 + slot), pitch, delta.
struct ModKey {
    int note = 0;
    int sample = 1;
    int pitch = 15;
    int delta = 0xFF;
};

struct ModInstrument {
    int32_t slot = 0;
    // 1 2A03, 2 VRC6, 5 N163 (its waves in `payload`), 6 5B; others take `payload` as their record's body
    int type = 1;
    std::string name;
    std::array<int, 5> sequences{-1, -1, -1, -1, -1};  // pool indices, -1 disabled
    std::vector<ModKey> keys;
    std::string payload;
};

struct ModSample {
    int slot = 0;
    std::string name;
    std::string bytes;
};

// A note of a song: its pattern's channel (an index into the module's
// channels), song and number, its row, the tracker's note (1-12 C to B, 13
// halt, 14 release, 0 none), octave, instrument (64 none) and volume (16 none).
struct ModCell {
    int channel = 0;
    int row = 0;
    int note = 1;
    int instrument = 64;
    int octave = 3;
    int volume = 16;
    int song = 0;
    int pattern = 0;
};

struct ModuleBuilder {
    std::string signature = "FamiTracker Module";
    uint32_t version = 0x0440;
    int instrumentsVersion = 6;
    int sequencesVersion = 6;
    int vrc6Version = 6;
    std::vector<ModInstrument> instruments;
    std::vector<ModSequence> sequences;
    std::vector<ModSequence> vrc6Sequences;
    std::vector<ModSequence> s5bSequences;   // SEQUENCES_S5B, its one layout
    std::vector<ModSequence> n163Sequences;  // SEQUENCES_N163, the same layout
    std::string n163PoolId = "SEQUENCES_N163";  // or its early name, SEQUENCES_N106
    int patternsVersion = 0;                 // a PATTERNS block of this version, none for 0
    // The songs: HEADER's channel type IDs (effect columns in each song), the cells
    // PATTERNS and the text's ROW lines hold, and when not empty PATTERNS' payload as it is.
    std::vector<int> channels{0, 1, 2, 3, 4};
    int songs = 1;
    int effectColumns = 1;
    int headerVersion = 3;
    std::vector<ModCell> cells;
    std::string rawPatterns;
    std::vector<ModSample> samples;
    bool end = true;
    std::string rawInstruments;  // when not empty, the INSTRUMENTS block's payload as it is
    std::string emulation;       // when not empty, a PARAMS_EMU block's payload (vrc7Patches())

    static void int32(std::string& out, int32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<char>(static_cast<uint32_t>(value) >> shift));
    }

    // An FDS record's body: wave, modulation table, speed, depth, delay, then
    // its inline sequences (volume, arpeggio, pitch: as many as given), each
    // a one-byte count, loop, release, setting and the items.
    static std::string fdsRecord(const std::vector<int>& wave, const std::vector<int>& mod, int32_t speed,
                                 int32_t depth, int32_t delay, const std::vector<ModSequence>& inlineSequences)
    {
        std::string out;
        for (const std::vector<int>* table : {&wave, &mod})
            for (int value : *table)
                out.push_back(static_cast<char>(value));
        for (int32_t value : {speed, depth, delay})
            int32(out, value);
        for (const ModSequence& s : inlineSequences) {
            out.push_back(static_cast<char>(s.items.size()));
            int32(out, s.loop);
            int32(out, s.release);
            int32(out, s.setting);
            for (int item : s.items)
                out.push_back(static_cast<char>(item));
        }
        return out;
    }

    // A VRC7 record's body: the patch and the custom patch's eight bytes.
    static std::string vrc7Record(int32_t patch, const std::vector<int>& custom)
    {
        std::string out;
        int32(out, patch);
        for (int value : custom)
            out.push_back(static_cast<char>(value));
        return out;
    }

    // PARAMS_EMU with its flag set: 19 patches (custom, 15 built-in, 3 drums),
    // each eight bytes and a NUL-ended name; patch n's bytes all n * 0x11.
    static std::string vrc7Patches()
    {
        std::string out;
        int32(out, 1);
        for (int entry = 0; entry < 19; ++entry) {
            out += std::string(8, static_cast<char>(entry * 0x11));
            out += "Patch " + std::to_string(entry) + '\0';
        }
        return out;
    }

    // An N163 record's waves, after its sequence references (the automatic
    // position flag, holding automatic, only in INSTRUMENTS blocks of version 8 on).
    static std::string n163Waves(int32_t size, int32_t position, const std::vector<std::vector<int>>& waves,
                                 bool automaticFlag = false, int32_t automatic = 0)
    {
        std::string out;
        int32(out, size);
        int32(out, position);
        if (automaticFlag)
            int32(out, automatic);
        int32(out, static_cast<int32_t>(waves.size()));
        for (const std::vector<int>& wave : waves)
            for (int sample : wave)
                out.push_back(static_cast<char>(sample));
        return out;
    }

    static std::string block(const std::string& id, int32_t version, const std::string& payload)
    {
        std::string out = id;
        out.resize(16, '\0');
        int32(out, version);
        int32(out, static_cast<int32_t>(payload.size()));
        return out + payload;
    }

    static std::string pool(const std::vector<ModSequence>& entries, int version, bool vrc6)
    {
        std::string out;
        int32(out, static_cast<int32_t>(entries.size()));
        const bool oldPairs = !vrc6 && version <= 2;
        for (const ModSequence& s : entries) {
            int32(out, s.index);
            if (vrc6 || version >= 2)
                int32(out, s.type);
            out.push_back(static_cast<char>(oldPairs ? s.items.size() / 2 : s.items.size()));
            if (!oldPairs)
                int32(out, s.loop);
            if (version == 4) {
                int32(out, s.release);
                int32(out, s.setting);
            }
            for (int item : s.items)
                out.push_back(static_cast<char>(item));
        }
        if (version == 5) {
            // Every (index, type), index-major; slots without a sequence hold zeros.
            for (int index = 0; index < 128; ++index)
                for (int type = 0; type < 5; ++type) {
                    int32_t release = 0;
                    int32_t setting = 0;
                    for (const ModSequence& s : entries)
                        if (s.index == index && s.type == type) {
                            release = s.release;
                            setting = s.setting;
                        }
                    int32(out, release);
                    int32(out, setting);
                }
        } else if (version >= 6) {
            for (const ModSequence& s : entries) {
                int32(out, s.release);
                int32(out, s.setting);
            }
        }
        return out;
    }

    std::string instrumentsPayload() const
    {
        std::string out;
        int32(out, static_cast<int32_t>(instruments.size()));
        for (const ModInstrument& instrument : instruments) {
            int32(out, instrument.slot);
            out.push_back(static_cast<char>(instrument.type));
            if (instrument.type == 1 || instrument.type == 2 || instrument.type == 5 || instrument.type == 6) {
                int32(out, 5);
                for (int index : instrument.sequences) {
                    out.push_back(index >= 0 ? 1 : 0);
                    out.push_back(static_cast<char>(index >= 0 ? index : 0));
                }
            }
            if (instrument.type == 1) {
                if (instrumentsVersion >= 7) {
                    int32(out, static_cast<int32_t>(instrument.keys.size()));
                    for (const ModKey& key : instrument.keys)
                        for (int field : {key.note, key.sample, key.pitch, key.delta})
                            out.push_back(static_cast<char>(field));
                } else {
                    const int notes = instrumentsVersion == 1 ? 72 : 96;
                    for (int note = 0; note < notes; ++note) {
                        ModKey key{note, 0, 0, 0xFF};
                        for (const ModKey& given : instrument.keys)
                            if (given.note == note)
                                key = given;
                        out.push_back(static_cast<char>(key.sample));
                        out.push_back(static_cast<char>(key.pitch));
                        if (instrumentsVersion >= 6)
                            out.push_back(static_cast<char>(key.delta));
                    }
                }
            }
            out += instrument.payload;
            int32(out, static_cast<int32_t>(instrument.name.size()));
            out += instrument.name;
        }
        return out;
    }

    std::string samplesPayload() const
    {
        std::string out(1, static_cast<char>(samples.size()));
        for (const ModSample& sample : samples) {
            out.push_back(static_cast<char>(sample.slot));
            int32(out, static_cast<int32_t>(sample.name.size()));
            out += sample.name;
            int32(out, static_cast<int32_t>(sample.bytes.size()));
            out += sample.bytes;
        }
        return out;
    }

    // HEADER: the song count and titles (version 2 and 3 on), each channel's
    // type ID and effect columns less one per song.
    std::string headerPayload() const
    {
        std::string out;
        if (headerVersion >= 2)
            out.push_back(static_cast<char>(songs - 1));
        for (int song = 0; headerVersion >= 3 && song < songs; ++song)
            out += "Song " + std::to_string(song) + '\0';
        for (int id : channels) {
            out.push_back(static_cast<char>(id));
            for (int song = 0; song < (headerVersion >= 2 ? songs : 1); ++song)
                out.push_back(static_cast<char>(effectColumns - 1));
        }
        for (int song = 0; headerVersion >= 4 && song < songs; ++song)
            out += std::string("\x04\x10", 2);
        return out;
    }

    // Each (song, channel, pattern) of the cells as one record, its cells in row order.
    std::vector<std::vector<ModCell>> patternsOf() const
    {
        std::vector<std::vector<ModCell>> out;
        for (const ModCell& cell : cells) {
            bool placed = false;
            for (std::vector<ModCell>& record : out)
                if (!placed && record[0].song == cell.song && record[0].channel == cell.channel &&
                    record[0].pattern == cell.pattern) {
                    record.push_back(cell);
                    placed = true;
                }
            if (!placed)
                out.push_back({cell});
        }
        for (std::vector<ModCell>& record : out)
            std::stable_sort(record.begin(), record.end(),
                             [](const ModCell& a, const ModCell& b) { return a.row < b.row; });
        return out;
    }

    std::string patternsPayload() const
    {
        std::string out;
        const bool compact = patternsVersion >= 6;
        if (patternsVersion == 1)
            int32(out, 64);
        for (const std::vector<ModCell>& record : patternsOf()) {
            if (patternsVersion >= 2)
                int32(out, record[0].song);
            int32(out, record[0].channel);
            int32(out, record[0].pattern);
            int32(out, static_cast<int32_t>(record.size()));
            for (const ModCell& cell : record) {
                if (compact)
                    out.push_back(static_cast<char>(cell.row));
                else
                    int32(out, cell.row);
                for (int value : {cell.note, cell.octave, cell.instrument, cell.volume})
                    out.push_back(static_cast<char>(value));
                out += compact ? std::string(4, '\0') : std::string(2 * static_cast<size_t>(effectColumns), '\0');
            }
        }
        return out;
    }

    // A cell as a ROW line shows it: "C#3 05 . ...", "4-# .. F ...", "... .. . ...".
    std::string cellText(const ModCell* cell) const
    {
        constexpr const char* kNotes[] = {"C-", "C#", "D-", "D#", "E-", "F-", "F#", "G-", "G#", "A-", "A#", "B-"};
        std::string note = "...";
        std::string instrument = "..";
        std::string volume = ".";
        char hex[4];
        if (cell) {
            const bool noise = channels[static_cast<size_t>(cell->channel)] == 3;
            if (cell->note >= 1 && cell->note <= 12 && noise) {
                std::snprintf(hex, sizeof hex, "%X", (cell->octave * 12 + cell->note - 1) & 0xF);
                note = hex + std::string("-#");
            } else if (cell->note >= 1 && cell->note <= 12) {
                note = kNotes[cell->note - 1] + std::to_string(cell->octave);
            } else if (cell->note == 13 || cell->note == 14) {
                note = cell->note == 13 ? "---" : "===";
            }
            if (cell->instrument < 64) {
                std::snprintf(hex, sizeof hex, "%02X", cell->instrument);
                instrument = hex;
            }
            if (cell->volume < 16) {
                std::snprintf(hex, sizeof hex, "%X", cell->volume);
                volume = hex;
            }
        }
        std::string text = note + " " + instrument + " " + volume;
        for (int column = 0; column < effectColumns; ++column)
            text += " ...";
        return text;
    }

    // Each song's TRACK, COLUMNS, ORDER, and its patterns' rows that hold a cell.
    std::string songsText() const
    {
        std::string out;
        char hex[4];
        const std::vector<std::vector<ModCell>> records = patternsOf();
        for (int song = 0; song < songs; ++song) {
            out += "TRACK  64   6 150 \"Song " + std::to_string(song) + "\"\r\nCOLUMNS :";
            for (size_t channel = 0; channel < channels.size(); ++channel)
                out += " " + std::to_string(effectColumns);
            out += "\r\nORDER 00 :";
            for (size_t channel = 0; channel < channels.size(); ++channel)
                out += " 00";
            out += "\r\n\r\n";
            std::vector<int> patterns{0};
            for (const ModCell& cell : cells)
                if (cell.song == song && std::find(patterns.begin(), patterns.end(), cell.pattern) == patterns.end())
                    patterns.push_back(cell.pattern);
            for (int pattern : patterns) {
                std::snprintf(hex, sizeof hex, "%02X", pattern);
                out += "PATTERN " + std::string(hex) + "\r\n";
                std::vector<int> rows;
                for (const ModCell& cell : cells)
                    if (cell.song == song && cell.pattern == pattern &&
                        std::find(rows.begin(), rows.end(), cell.row) == rows.end())
                        rows.push_back(cell.row);
                std::sort(rows.begin(), rows.end());
                if (rows.empty())
                    rows.push_back(0);
                for (int row : rows) {
                    std::snprintf(hex, sizeof hex, "%02X", row);
                    out += "ROW " + std::string(hex);
                    for (size_t channel = 0; channel < channels.size(); ++channel) {
                        const ModCell* found = nullptr;
                        for (const ModCell& cell : cells)
                            if (cell.song == song && cell.pattern == pattern && cell.row == row &&
                                cell.channel == static_cast<int>(channel))
                                found = &cell;
                        out += " : " + cellText(found);
                    }
                    out += "\r\n";
                }
                out += "\r\n";
            }
        }
        return out;
    }

    static int32_t int32At(const std::string& bytes, size_t at)
    {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
        return static_cast<int32_t>(value);
    }

    static std::string quotedText(const std::string& text)
    {
        std::string out = "\"";
        for (char c : text)
            out += c == '"' ? std::string("\"\"") : std::string(1, c);
        return out + "\"";
    }

    // The same instruments, pools and samples as the trackers' text export
    // writes them, the block versions aside: settings, pools, samples (32
    // bytes to a DPCM line), each instrument with its lines, then the songs
    // (channels 5 to 7 are the VRC6's, as EXPANSION has it on); CR LF line
    // ends. Key samples count from 0 there. FDS, VRC7 and N163 records are
    // read back from their payloads (an FDS record's three sequences, an N163
    // record's waves without the automatic flag); an FDS instrument's
    // modulation is switched on.
    std::string text() const
    {
        std::string out;
        char hex[4];
        const auto line = [&](const std::string& text) { out += text + "\r\n"; };
        const auto number = [](int value) { return " " + std::to_string(value); };
        const auto byteOf = [&](int value) {
            std::snprintf(hex, sizeof hex, " %02X", value & 0xFF);
            return std::string(hex);
        };
        const auto sequenceText = [&](const ModSequence& s) {
            std::string text = number(s.loop) + number(s.release) + number(s.setting) + " :";
            for (int item : s.items)
                text += number(static_cast<int8_t>(item));
            return text;
        };
        line("# FamiTracker text export 0.4.2");
        line("");
        line("# Song information");
        line("TITLE           " + quotedText("A \"quoted\" song"));
        line("COMMENT         \"INST2A03 9 -1 -1 -1 -1 -1 \"\"not one\"\"\"");
        line("");
        line("# Global settings");
        line("MACHINE         0");
        line("EXPANSION       63");
        line("VIBRATO         1");
        line("N163CHANNELS    4");
        line("");
        line("# Macros");
        const std::pair<const char*, const std::vector<ModSequence>*> pools[] = {
            {"MACRO", &sequences}, {"MACROVRC6", &vrc6Sequences}, {"MACRON163", &n163Sequences},
            {"MACROS5B", &s5bSequences}};
        for (const auto& [word, entries] : pools)
            for (const ModSequence& s : *entries)
                line(std::string(word) + number(s.type) + number(s.index) + sequenceText(s));
        line("");
        line("# DPCM samples");
        for (const ModSample& sample : samples) {
            line("DPCMDEF" + number(sample.slot) + number(static_cast<int>(sample.bytes.size())) + " " +
                 quotedText(sample.name));
            for (size_t at = 0; at < sample.bytes.size(); at += 32) {
                std::string bytes = "DPCM :";
                for (size_t i = at; i < sample.bytes.size() && i < at + 32; ++i)
                    bytes += byteOf(sample.bytes[i]);
                line(bytes);
            }
        }
        line("");
        line("# Instruments");
        for (const ModInstrument& instrument : instruments) {
            const std::string slot = number(instrument.slot);
            const std::string name = " " + quotedText(instrument.name);
            std::string indices;
            for (int index : instrument.sequences)
                indices += number(index);
            const std::string& body = instrument.payload;
            switch (instrument.type) {
            case 1:
                line("INST2A03" + slot + indices + name);
                for (const ModKey& key : instrument.keys)
                    line("KEYDPCM" + slot + number(key.note / 12) + number(key.note % 12) + number(key.sample - 1) +
                         number(key.pitch & 0x0F) + number(key.pitch >> 7) + number(0) +
                         number(key.delta == 0xFF ? -1 : key.delta));
                break;
            case 2:
                line("INSTVRC6" + slot + indices + name);
                break;
            case 6:
                line("INSTS5B" + slot + indices + name);
                break;
            case 3: {
                std::string custom;
                for (size_t i = 4; i < 12; ++i)
                    custom += byteOf(static_cast<unsigned char>(body[i]));
                line("INSTVRC7" + slot + number(int32At(body, 0)) + custom + name);
                break;
            }
            case 4: {
                line("INSTFDS" + slot + number(1) + number(int32At(body, 96)) + number(int32At(body, 100)) +
                     number(int32At(body, 104)) + name);
                std::string wave = "FDSWAVE" + slot + " :";
                std::string mod = "FDSMOD" + slot + " :";
                for (size_t i = 0; i < 64; ++i)
                    wave += number(static_cast<unsigned char>(body[i]));
                for (size_t i = 64; i < 96; ++i)
                    mod += number(static_cast<unsigned char>(body[i]));
                line(wave);
                line(mod);
                size_t at = 108;
                for (int type = 0; type < 3 && at < body.size(); ++type) {
                    ModSequence s;
                    const auto count = static_cast<unsigned char>(body[at]);
                    s.loop = int32At(body, at + 1);
                    s.release = int32At(body, at + 5);
                    s.setting = int32At(body, at + 9);
                    for (size_t i = 0; i < count; ++i)
                        s.items.push_back(static_cast<int8_t>(body[at + 13 + i]));
                    at += 13 + count;
                    line("FDSMACRO" + slot + number(type) + sequenceText(s));
                }
                break;
            }
            case 5: {
                const int32_t size = int32At(body, 0);
                const int32_t count = int32At(body, 8);
                line("INSTN163" + slot + indices + number(size) + number(int32At(body, 4)) + number(count) + name);
                for (int32_t wave = 0; wave < count; ++wave) {
                    std::string waveLine = "N163WAVE" + slot + number(wave) + " :";
                    for (int32_t i = 0; i < size; ++i)
                        waveLine += number(static_cast<unsigned char>(body[static_cast<size_t>(12 + wave * size + i)]));
                    line(waveLine);
                }
                break;
            }
            default:
                break;
            }
        }
        line("");
        line("# Tracks");
        out += songsText();
        line("# End of export");
        return out;
    }

    // PARAMS (the VRC6's flag when its channels are there) and HEADER lay out
    // the songs' channels for PATTERNS.
    std::string bytes() const
    {
        std::string out = signature;
        int32(out, static_cast<int32_t>(version));
        const bool vrc6 = std::find(channels.begin(), channels.end(), 7) != channels.end();
        std::string params(1, vrc6 ? '\x01' : '\0');
        int32(params, static_cast<int32_t>(channels.size()));
        int32(params, 0);
        out += block("PARAMS", 6, params);
        out += block("INFO", 1, std::string(96, '\0'));
        out += block("HEADER", headerVersion, headerPayload());
        out += block("INSTRUMENTS", instrumentsVersion, rawInstruments.empty() ? instrumentsPayload() : rawInstruments);
        out += block("SEQUENCES", sequencesVersion, pool(sequences, sequencesVersion, false));
        out += block("FRAMES", 3, std::string(12, '\x01'));
        if (patternsVersion != 0)
            out += block("PATTERNS", patternsVersion, rawPatterns.empty() ? patternsPayload() : rawPatterns);
        out += block("DPCM SAMPLES", 1, samplesPayload());
        if (!emulation.empty())
            out += block("PARAMS_EMU", 1, emulation);
        if (!vrc6Sequences.empty())
            out += block("SEQUENCES_VRC6", vrc6Version, pool(vrc6Sequences, vrc6Version, true));
        // The 5B's pool lays its entries down as the 2A03's version 4 does.
        if (!s5bSequences.empty())
            out += block("SEQUENCES_S5B", 1, pool(s5bSequences, 4, true));
        if (!n163Sequences.empty())
            out += block(n163PoolId, 1, pool(n163Sequences, 4, true));
        if (end)
            out += "END";
        return out;
    }
};

}  // namespace ftmtest
