#include "ModuleFile.h"

#include "BankText.h"
#include "ModulePlays.h"
#include "ModuleText.h"
#include "ByteReader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

namespace ftm {

namespace {

constexpr char kSignature[] = "FamiTracker Module";
constexpr char kDnSignature[] = "Dn-FamiTracker Module";
constexpr size_t kBlockIdBytes = 16;
constexpr size_t kBlockHeaderBytes = kBlockIdBytes + 8;
// The first file version whose E-FT instruments (type 7) may follow the others.
constexpr uint32_t kSidVersion = 0x0460;

constexpr int32_t kPoolIndices = 128;
constexpr int kSequenceTypes = fti::kSequenceCount;
// A pool block counts at most every (type, index) once; the 640-pair table of
// version 5 covers exactly that.
constexpr int32_t kMaxPoolEntries = kPoolIndices * kSequenceTypes;
// The old (value, length) pairs: a sequence of this many or more is one no
// tracker plays.
constexpr int32_t kOldPairLimit = fti::kMaxUsedItems;
constexpr int32_t kMaxOldVolume = 15;
constexpr int32_t kMaxOldDuty = 3;
constexpr int kPitchType = 2;
constexpr int kHiPitchType = 3;
constexpr int kVolumeType = 0;
constexpr int kDutyType = 4;

// The smallest instrument record: a VRC7 one with an empty name.
constexpr size_t kMinInstrumentBytes = 21;
constexpr int32_t kMaxSequenceRefs = 5;
constexpr int32_t kDenseKeysV1 = 72;  // octaves 0-5
constexpr int32_t kDenseKeys = 96;    // octaves 0-7
constexpr uint8_t kPitchBits = 0x8F;  // rate in bits 0-3, loop in bit 7
// An FDS record: wave, modulation table, speed, depth and delay, then its
// sequences (volume, arpeggio, pitch).
constexpr size_t kFdsFixedBytes = fti::kFdsWaveBytes + fti::kFdsModBytes + 3 * 4;
constexpr uint8_t kFdsWaveMask = 0x3F;
constexpr uint8_t kFdsModMask = 0x07;
constexpr int kFdsSequences = fti::kFdsSequenceCount;
constexpr int32_t kFdsVolume32Version = 4;  // INSTRUMENTS blocks before it count FDS volumes in 16 steps
constexpr int32_t kFdsOctavesMovedPatterns = 5;
constexpr int kFdsOctavesMoved = 24;
constexpr int kHighestFixedNote = 95;  // B-7
constexpr int kArpType = 1;
constexpr int32_t kMaxSampleRecordBytes = 10;  // slot, name length and size: the least a sample takes

// PARAMS_EMU's replacement VRC7 patches: the custom placeholder, the fifteen
// built-in ones and three drum patches, each eight bytes and a NUL-ended name.
constexpr int kEmuPatchEntries = 19;

constexpr const char* kTypeNames[] = {"none", "2A03", "VRC6", "VRC7", "FDS", "N163", "5B", "SID"};
constexpr const char* kSequenceNames[] = {"Volume", "Arp", "Pitch", "Hi-pitch", "Duty"};

using Reader = ByteReader;

bool fail(std::string& error, std::string message)
{
    error = std::move(message);
    return false;
}

// A block's ID as a message shows it: as it is when it is plain text, else
// quoted with its other bytes escaped, so that a message stays one line.
std::string blockLabel(const std::string& id)
{
    const bool plain = !id.empty() && std::all_of(id.begin(), id.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    return plain ? id : banktext::quoted(id);
}

std::string slotName(int32_t slot)
{
    constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("instrument ") + kHex[(slot >> 4) & 0xF] + kHex[slot & 0xF];
}

// A sequence of a pool as its block stores it: items with their points, or
// (blocks of versions 1 and 2) old (value, length) pairs to be unrolled.
struct PoolSequence {
    bool present = false;
    bool oldPairs = false;
    int32_t loop = fti::kNone;
    int32_t release = fti::kNone;
    int32_t setting = 0;
    std::vector<int8_t> items;  // for old pairs: value, length, value, length ...
};

struct Pool {
    std::array<std::array<PoolSequence, kPoolIndices>, kSequenceTypes> typed;
    // A version 1 block's untyped sequences, typed by the instruments that use them.
    std::array<PoolSequence, kPoolIndices> untyped;
    bool untypedUsed = false;
};

// Old pairs as items: each value once and then `length` ticks more, which
// repeat it, but for the pitches, which add up and so add nothing more. A
// negative length marks a loop back over that many pairs before it.
void unrollOldPairs(const PoolSequence& old, int type, bool clampOldRanges, fti::Sequence& sequence)
{
    sequence = {};
    const auto pairs = static_cast<int32_t>(old.items.size() / 2);
    if (pairs == 0 || pairs >= kOldPairLimit)
        return;
    std::vector<int32_t> startOfPair;
    for (int32_t pair = 0; pair < pairs; ++pair) {
        int32_t value = old.items[static_cast<size_t>(2 * pair)];
        const int32_t length = old.items[static_cast<size_t>(2 * pair + 1)];
        if (length < 0) {
            const int32_t first = std::max(0, pair + length);
            const int32_t total = static_cast<int32_t>(sequence.items.size());
            sequence.loop = first < pair ? startOfPair[static_cast<size_t>(first)] : total;
            if (sequence.loop >= total)
                sequence.loop = fti::kNone;
            break;
        }
        startOfPair.push_back(static_cast<int32_t>(sequence.items.size()));
        if (clampOldRanges && type == kVolumeType)
            value = std::clamp(value, 0, kMaxOldVolume);
        if (clampOldRanges && type == kDutyType)
            value = std::clamp(value, 0, kMaxOldDuty);
        const bool accumulates = type == kPitchType || type == kHiPitchType;
        sequence.items.push_back(static_cast<int8_t>(value));
        for (int32_t tick = 0; tick < length; ++tick)
            sequence.items.push_back(static_cast<int8_t>(accumulates ? 0 : value));
    }
    sequence.enabled = !sequence.items.empty();
}

// The sequence pools' block layouts: the 2A03's and the VRC6's by their
// block versions, the N163's and the 5B's one layout.
enum class PoolKind { Apu, Vrc6, N163, S5b };

struct Sample {
    std::string name;
    std::vector<uint8_t> bytes;
};

class ModuleReader {
public:
    ModuleReader(Module& module, std::string& error) : module_(module), error_(error) {}

    bool readBlocks(const unsigned char* data, size_t size);

private:
    struct Block {
        std::string id;
        int32_t version;
        size_t start;
        size_t size;
    };
    // The channels of the songs: each one's kind, and its effect columns in each song.
    struct SongLayout {
        int32_t channels = 0;
        int32_t songs = 1;
        std::vector<int32_t> kinds;
        std::vector<uint8_t> columns;  // song-major
    };
    void readPlays(const unsigned char* data, const std::vector<Block>& blocks);
    bool readLayout(const unsigned char* data, const std::vector<Block>& blocks, SongLayout& layout,
                    std::string& why) const;
    static bool readPatterns(Reader& in, int32_t version, const SongLayout& layout, PlayCounter& counter,
                             std::string& why);
    bool readDpcm(Reader& in);
    bool readPool(Reader& in, int32_t version, PoolKind kind, Pool& pool);
    bool readInstruments(Reader& in, int32_t version);
    bool readSequenceRefs(Reader& in, const std::string& who, Instrument& instrument,
                          std::array<std::optional<uint8_t>, kSequenceTypes>& refs);
    bool readFds(Reader& in, int32_t version, const std::string& who, fti::Instrument& out);
    bool readN163(Reader& in, int32_t version, const std::string& who, Instrument& instrument);
    bool readVrc7(Reader& in, const std::string& who, Instrument& instrument);
    void readEmulation(Reader& in);
    void resolve();
    bool blockFail(const std::string& block, const std::string& message)
    {
        return fail(error_, block + ": " + message);
    }

    Module& module_;
    std::string& error_;
    std::string block_;
    Pool pool2A03_;
    Pool poolVrc6_;
    Pool poolN163_;
    Pool poolS5b_;
    int32_t patternsVersion_ = 0;  // 0: no PATTERNS block
    bool clampOldRanges_ = false;
    std::array<std::optional<Sample>, kSampleSlots> samples_;
    struct Record {
        Instrument instrument;
        std::array<std::optional<uint8_t>, kSequenceTypes> refs;  // enabled sequences' indices
        std::vector<fti::DpcmKey> keys;
    };
    std::map<int32_t, Record> records_;
    // The module's own set for the VRC7's built-in patches 1..15, when it has one.
    std::optional<std::array<fti::Vrc7Part, fti::kVrc7MaxPatch + 1>> vrc7Patches_;
};

bool ModuleReader::readBlocks(const unsigned char* data, size_t size)
{
    Reader file(data, size);
    const size_t signature =
        size >= sizeof kSignature - 1 && std::memcmp(data, kSignature, sizeof kSignature - 1) == 0
            ? sizeof kSignature - 1
        : size >= sizeof kDnSignature - 1 && std::memcmp(data, kDnSignature, sizeof kDnSignature - 1) == 0
            ? sizeof kDnSignature - 1
            : 0;
    if (signature == 0)
        return fail(error_, "not a tracker module (it does not start with 'FamiTracker Module')");
    file.skip(signature);
    int32_t version = 0;
    if (!file.int32(version))
        return fail(error_, "cut short in the file version");
    module_.version = static_cast<uint32_t>(version) & 0xFFFF;
    if (module_.version < kMinVersion || module_.version > kMaxVersion) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", module_.version);
        return fail(error_, std::string("file version ") + hex + " is not read (versions 0200 to 0460 are)");
    }
    clampOldRanges_ = module_.version <= 0x0201;

    std::vector<Block> blocks;
    bool ended = false;
    while (file.left() > 0) {
        const size_t idBytes = std::min(file.left(), kBlockIdBytes);
        const auto* id = reinterpret_cast<const char*>(file.here());
        const std::string name(id, strnlen(id, idBytes));
        if (name == "END") {
            ended = true;
            break;
        }
        if (file.left() < kBlockHeaderBytes)
            return fail(error_, "cut short in the header of a block after " +
                                    (blocks.empty() ? std::string("the file version") : blockLabel(blocks.back().id)));
        file.skip(kBlockIdBytes);
        int32_t blockVersion = 0;
        int32_t blockSize = 0;
        file.int32(blockVersion);
        file.int32(blockSize);
        const auto declared = static_cast<uint32_t>(blockSize);
        if (declared > file.left())
            return fail(error_, blockLabel(name) + ": the block counts " + std::to_string(declared) +
                                    " bytes, the file holds " + std::to_string(file.left()) + " more");
        blocks.push_back({name, blockVersion, file.at(), declared});
        file.skip(declared);
    }
    if (!ended)
        module_.warnings.push_back("no END mark after the last block; the file may be cut short");

    // INSTRUMENTS comes before what it names: the pools and samples first.
    const auto each = [&](const char* id, auto&& parse) {
        for (const Block& block : blocks) {
            if (block.id != id)
                continue;
            if (block.version < 1)
                return blockFail(blockLabel(block.id), "unknown block version " + std::to_string(block.version));
            Reader in(data + block.start, block.size);
            if (!parse(in, block.version))
                return false;
            if (in.left() != 0)
                module_.warnings.push_back(blockLabel(block.id) + ": " + std::to_string(in.left()) +
                                           " bytes after what was read left unread");
        }
        return true;
    };
    block_ = "DPCM SAMPLES";
    if (!each("DPCM SAMPLES", [&](Reader& in, int32_t) { return readDpcm(in); }))
        return false;
    block_ = "SEQUENCES";
    if (!each("SEQUENCES", [&](Reader& in, int32_t v) { return readPool(in, v, PoolKind::Apu, pool2A03_); }))
        return false;
    block_ = "SEQUENCES_VRC6";
    if (!each("SEQUENCES_VRC6", [&](Reader& in, int32_t v) { return readPool(in, v, PoolKind::Vrc6, poolVrc6_); }))
        return false;
    for (const char* id : {"SEQUENCES_N163", "SEQUENCES_N106"}) {
        block_ = id;
        if (!each(id, [&](Reader& in, int32_t v) { return readPool(in, v, PoolKind::N163, poolN163_); }))
            return false;
    }
    for (const Block& block : blocks)
        if (block.id == "PATTERNS")
            patternsVersion_ = block.version;
    block_ = "SEQUENCES_S5B";
    if (!each("SEQUENCES_S5B", [&](Reader& in, int32_t v) { return readPool(in, v, PoolKind::S5b, poolS5b_); }))
        return false;
    block_ = "PARAMS_EMU";
    if (!each("PARAMS_EMU", [&](Reader& in, int32_t) {
            readEmulation(in);
            return true;
        }))
        return false;
    block_ = "INSTRUMENTS";
    if (!each("INSTRUMENTS", [&](Reader& in, int32_t v) { return readInstruments(in, v); }))
        return false;
    resolve();
    readPlays(data, blocks);
    return true;
}

// The patterns' layout is not in every tracker's notes: they count only when
// every PATTERNS block reads exactly to its end with every value in range.
// Otherwise, or below file version 0300, no instrument is counted as played
// and one warning says so; a module without patterns has no warning.
void ModuleReader::readPlays(const unsigned char* data, const std::vector<Block>& blocks)
{
    if (std::none_of(blocks.begin(), blocks.end(), [](const Block& block) { return block.id == "PATTERNS"; }))
        return;
    std::string why;
    SongLayout layout;
    auto counter = std::make_unique<PlayCounter>();
    bool read = readLayout(data, blocks, layout, why);
    for (const Block& block : blocks) {
        if (!read || block.id != "PATTERNS")
            continue;
        Reader in(data + block.start, block.size);
        read = readPatterns(in, block.version, layout, *counter, why);
    }
    if (read)
        counter->give(module_.instruments);
    else
        module_.warnings.push_back(patternsWarning(why));
}

// PARAMS' channel count, and HEADER's songs and channels (the last block of each).
bool ModuleReader::readLayout(const unsigned char* data, const std::vector<Block>& blocks, SongLayout& layout,
                              std::string& why) const
{
    if (module_.version < 0x0300) {
        why = "a file version below 0300";
        return false;
    }
    const Block* params = nullptr;
    const Block* header = nullptr;
    for (const Block& block : blocks) {
        params = block.id == "PARAMS" ? &block : params;
        header = block.id == "HEADER" ? &block : header;
    }
    if (!params || !header) {
        why = std::string("no ") + (params ? "HEADER" : "PARAMS") + " block";
        return false;
    }
    Reader in(data + params->start, params->size);
    int32_t skipped = 0;
    uint8_t flags = 0;
    // Version 1 starts with a song speed; E-FT's from version 7 with four bytes of chip flags.
    const bool fourBytes = params->version == 1 || (module_.version >= kSidVersion && params->version >= 7);
    if (!(fourBytes ? in.int32(skipped) : in.byte(flags)) || !in.int32(layout.channels)) {
        why = "PARAMS cut short before the channel count";
        return false;
    }
    if (layout.channels < 1 || layout.channels > kMaxSongChannels) {
        why = "PARAMS counts " + std::to_string(layout.channels) + " channels";
        return false;
    }
    Reader head(data + header->start, header->size);
    if (header->version < 1 || header->version > 4) {
        why = "HEADER version " + std::to_string(header->version);
        return false;
    }
    if (header->version >= 2) {
        uint8_t songs = 0;
        if (!head.byte(songs)) {
            why = "HEADER cut short";
            return false;
        }
        layout.songs = songs + 1;
    }
    for (int32_t song = 0; header->version >= 3 && song < layout.songs; ++song) {
        const auto* title = reinterpret_cast<const char*>(head.here());
        const size_t length = strnlen(title, head.left());
        if (length == head.left()) {
            why = "HEADER cut short in the song titles";
            return false;
        }
        head.skip(length + 1);
    }
    const auto channels = static_cast<size_t>(layout.channels);
    const auto songs = static_cast<size_t>(layout.songs);
    if (head.left() < channels * (1 + songs)) {
        why = "HEADER cut short in the channels";
        return false;
    }
    layout.kinds.resize(channels);
    layout.columns.resize(channels * songs);
    for (size_t channel = 0; channel < channels; ++channel) {
        uint8_t id = 0;
        head.byte(id);
        layout.kinds[channel] = playedKindOfChannelId(id);
        for (size_t song = 0; song < songs; ++song) {
            uint8_t columns = 0;
            head.byte(columns);
            if (columns > 3) {
                why = "HEADER gives channel " + std::to_string(channel) + " " + std::to_string(columns + 1) +
                      " effect columns";
                return false;
            }
            layout.columns[song * channels + channel] = static_cast<uint8_t>(columns + 1);
        }
    }
    return true;
}

// Records of song (from block version 2), channel, pattern and item count,
// then the items: row (one byte in version 6), note, octave, instrument,
// volume and each effect column's number and parameter (version 6: always
// four columns, no parameter after effect 0).
bool ModuleReader::readPatterns(Reader& in, int32_t version, const SongLayout& layout, PlayCounter& counter,
                                std::string& why)
{
    constexpr int32_t kMaxIndex = 255;
    constexpr int32_t kMaxItems = 256;
    constexpr uint8_t kLastNote = 15;  // the forks' echo
    constexpr uint8_t kLastSounding = 12;
    constexpr uint8_t kNoInstrument = kInstrumentSlots;
    constexpr uint8_t kNoVolume = 16;
    constexpr int32_t kCompactVersion = 6;
    const auto fail = [&](const std::string& what) {
        why = "PATTERNS: " + what;
        return false;
    };
    if (version < 1 || version > kCompactVersion)
        return fail("unknown block version " + std::to_string(version));
    const bool compact = version == kCompactVersion;
    int32_t length = 0;
    if (version == 1 && (!in.int32(length) || length < 1 || length > kMaxIndex + 1))
        return fail("no pattern length");
    while (in.left() > 0) {
        int32_t song = 0;
        int32_t channel = 0;
        int32_t pattern = 0;
        int32_t items = 0;
        if ((version >= 2 && !in.int32(song)) || !in.int32(channel) || !in.int32(pattern) || !in.int32(items))
            return fail("cut short in a pattern's heading");
        if (song < 0 || song >= layout.songs)
            return fail("song " + std::to_string(song) + " of " + std::to_string(layout.songs));
        if (channel < 0 || channel >= layout.channels)
            return fail("channel " + std::to_string(channel) + " of " + std::to_string(layout.channels));
        const std::string where = "song " + std::to_string(song) + ", channel " + std::to_string(channel) +
                                  ", pattern " + std::to_string(pattern);
        if (pattern < 0 || pattern > kMaxIndex)
            return fail(where + " is past 255");
        const auto columns =
            compact ? size_t{4} : size_t{layout.columns[static_cast<size_t>(song * layout.channels + channel)]};
        const size_t smallest = (compact ? 1 : 4) + 4 + (compact ? columns : 2 * columns);
        if (items < 0 || items > kMaxItems)
            return fail(where + " counts " + std::to_string(items) + " items (0 to 256)");
        if (static_cast<size_t>(items) > in.left() / smallest)
            return fail(where + " counts " + std::to_string(items) + " items, more than the block holds");
        int32_t last = PlayCounter::kNoInstrument;
        for (int32_t item = 0; item < items; ++item) {
            int32_t row = 0;
            uint8_t small = 0;
            uint8_t note = 0;
            uint8_t octave = 0;
            uint8_t instrument = 0;
            uint8_t volume = 0;
            if (!(compact ? in.byte(small) : in.int32(row)) || !in.byte(note) || !in.byte(octave) ||
                !in.byte(instrument) || !in.byte(volume))
                return fail("cut short in " + where);
            row = compact ? small : row;
            if (row < 0 || row > kMaxIndex || note > kLastNote || instrument > kNoInstrument || volume > kNoVolume)
                return fail(where + ", row " + std::to_string(row) + ": note " + std::to_string(note) +
                            ", instrument " + std::to_string(instrument) + ", volume " + std::to_string(volume));
            for (size_t column = 0; column < columns; ++column) {
                uint8_t effect = 0;
                uint8_t parameter = 0;
                if (!in.byte(effect) || ((!compact || effect != 0) && !in.byte(parameter)))
                    return fail("cut short in " + where);
            }
            counter.cell(last, layout.kinds[static_cast<size_t>(channel)], note >= 1 && note <= kLastSounding,
                         instrument == kNoInstrument ? PlayCounter::kNoInstrument : instrument);
        }
    }
    return true;
}

bool ModuleReader::readDpcm(Reader& in)
{
    uint8_t count = 0;
    if (!in.byte(count))
        return blockFail(block_, "cut short before the sample count");
    if (count > kSampleSlots)
        return blockFail(block_, "counts " + std::to_string(count) + " samples; a module holds 64");
    if (count > in.left() / kMaxSampleRecordBytes)
        return blockFail(block_, "counts " + std::to_string(count) + " samples, more than the block holds");
    for (int i = 0; i < count; ++i) {
        const std::string which = "sample " + std::to_string(i + 1);
        uint8_t slot = 0;
        int32_t length = 0;
        if (!in.byte(slot) || !in.int32(length))
            return blockFail(block_, "cut short in " + which);
        if (slot >= kSampleSlots)
            return blockFail(block_, which + " is in slot " + std::to_string(slot) + " (0 to 63)");
        if (length < 0 || length > kMaxSampleNameBytes)
            return blockFail(block_, which + "'s name length " + std::to_string(length) + " is not 0 to 255");
        if (static_cast<size_t>(length) > in.left())
            return blockFail(block_, which + "'s name runs past the end of the block");
        const auto* text = reinterpret_cast<const char*>(in.here());
        Sample sample;
        sample.name.assign(text, strnlen(text, static_cast<size_t>(length)));
        in.skip(static_cast<size_t>(length));
        int32_t bytes = 0;
        if (!in.int32(bytes))
            return blockFail(block_, "cut short in " + which);
        if (bytes < 0 || bytes > kMaxSampleBytes)
            return blockFail(block_, which + " " + banktext::quoted(sample.name) + " has " + std::to_string(bytes) +
                                         " bytes; a tracker loads 0 to " + std::to_string(kMaxSampleBytes));
        if (static_cast<size_t>(bytes) > in.left())
            return blockFail(block_, which + " " + banktext::quoted(sample.name) + " has " + std::to_string(bytes) +
                                         " bytes, the block holds " + std::to_string(in.left()) + " more");
        sample.bytes.assign(in.here(), in.here() + bytes);
        in.skip(static_cast<size_t>(bytes));
        if (sample.bytes.empty())
            samples_[slot].reset();  // no writer stores one; it is an empty slot
        else
            samples_[slot] = std::move(sample);
    }
    return true;
}

bool ModuleReader::readPool(Reader& in, int32_t version, PoolKind kind, Pool& pool)
{
    // Layouts by block version. The 2A03's 1 and 2 hold old pairs (1 without
    // types); from 3 on items with a loop point. Release point and setting are
    // inline in 4, in a table of every (index, type) after the entries in 5,
    // in one pair per entry after them from 6. The VRC6's 1 to 3 are the 2A03's 3.
    // The N163's and the 5B's only layout, whatever its version, is the 2A03's 4.
    const bool apu = kind == PoolKind::Apu;
    const bool oneLayout = kind == PoolKind::S5b || kind == PoolKind::N163;
    const bool untyped = apu && version == 1;
    const bool oldPairs = apu && version <= 2;
    const bool inlinePoints = oneLayout || version == 4;
    const bool fullTable = !oneLayout && version == 5;
    const bool entryTable = !oneLayout && version >= 6;
    int32_t count = 0;
    if (!in.int32(count))
        return blockFail(block_, "cut short before the sequence count");
    const size_t entryBytes = untyped ? 5 : oldPairs ? 9 : inlinePoints ? 21 : 13;
    const size_t tableBytes = fullTable ? static_cast<size_t>(kMaxPoolEntries) * 8 : entryTable ? 8 : 0;
    if (count < 0 || count > kMaxPoolEntries)
        return blockFail(block_, "counts " + std::to_string(count) + " sequences (0 to 640)");
    if (static_cast<size_t>(count) * (entryBytes + (entryTable ? tableBytes : 0)) + (fullTable ? tableBytes : 0) >
        in.left())
        return blockFail(block_, "counts " + std::to_string(count) + " sequences, more than the block holds");
    std::vector<PoolSequence*> entries;
    std::vector<std::pair<int32_t, int32_t>> where;  // (index, type) of each entry
    for (int32_t i = 0; i < count; ++i) {
        const std::string which = "sequence " + std::to_string(i + 1);
        int32_t index = 0;
        int32_t type = 0;
        uint8_t length = 0;
        if (!in.int32(index) || (!untyped && !in.int32(type)) || !in.byte(length))
            return blockFail(block_, "cut short in " + which);
        if (index < 0 || index >= kPoolIndices)
            return blockFail(block_, which + " has index " + std::to_string(index) + " (0 to 127)");
        if (type < 0 || type >= kSequenceTypes)
            return blockFail(block_, which + " has type " + std::to_string(type) + " (0 to 4)");
        PoolSequence sequence;
        sequence.present = true;
        sequence.oldPairs = oldPairs;
        const size_t itemBytes = oldPairs ? 2 * size_t{length} : size_t{length};
        if (!oldPairs) {
            if (!in.int32(sequence.loop) || (inlinePoints && (!in.int32(sequence.release) || !in.int32(sequence.setting))))
                return blockFail(block_, "cut short in " + which);
            // Some older 2A03 blocks say "no loop" as a loop at the item count.
            if (apu && sequence.loop == length)
                sequence.loop = fti::kNone;
        }
        if (itemBytes > in.left())
            return blockFail(block_, which + " counts " + std::to_string(length) + (oldPairs ? " pairs" : " items") +
                                         ", more than the block holds");
        const auto* first = reinterpret_cast<const int8_t*>(in.here());
        sequence.items.assign(first, first + itemBytes);
        in.skip(itemBytes);
        PoolSequence& slot = untyped ? pool.untyped[static_cast<size_t>(index)]
                                     : pool.typed[static_cast<size_t>(type)][static_cast<size_t>(index)];
        slot = std::move(sequence);
        pool.untypedUsed = pool.untypedUsed || untyped;
        entries.push_back(&slot);
        where.push_back({index, type});
    }
    if (fullTable) {
        // Index-major: the entry of (index, type) is the pair index * 5 + type.
        std::array<PoolSequence*, kMaxPoolEntries> byPair{};
        for (size_t e = 0; e < entries.size(); ++e)
            byPair[static_cast<size_t>(where[e].first * kSequenceTypes + where[e].second)] = entries[e];
        for (PoolSequence* entry : byPair) {
            int32_t release = 0;
            int32_t setting = 0;
            if (!in.int32(release) || !in.int32(setting))
                return blockFail(block_, "cut short in the table of release points");
            if (entry) {
                entry->release = release;
                entry->setting = setting;
            }
        }
    } else if (entryTable) {
        for (PoolSequence* entry : entries)
            if (!in.int32(entry->release) || !in.int32(entry->setting))
                return blockFail(block_, "cut short in the table of release points");
    }
    return true;
}

bool ModuleReader::readSequenceRefs(Reader& in, const std::string& who, Instrument& instrument,
                                    std::array<std::optional<uint8_t>, kSequenceTypes>& refs)
{
    int32_t count = 0;
    if (!in.int32(count))
        return blockFail(block_, "cut short in " + who);
    if (count < 0 || count > kMaxSequenceRefs)
        return blockFail(block_, who + " counts " + std::to_string(count) + " sequences (0 to 5)");
    for (int32_t type = 0; type < count; ++type) {
        uint8_t enabled = 0;
        uint8_t index = 0;
        if (!in.byte(enabled) || !in.byte(index))
            return blockFail(block_, "cut short in " + who);
        if (enabled == 0)
            continue;
        if (index >= kPoolIndices && instrument.problem.empty())
            instrument.problem = std::string("its ") + kSequenceNames[type] + " sequence index " +
                                 std::to_string(index) + " is out of range (0 to 127)";
        refs[static_cast<size_t>(type)] = index;
    }
    return true;
}

// An FDS record holds its sequences inline. Blocks below version 3 should
// hold two, but one tracker's version 2 blocks hold three and earlier builds
// none: the reading after which a name and then the block's end or another
// record follow is the one taken.
bool ModuleReader::readFds(Reader& in, int32_t version, const std::string& who, fti::Instrument& out)
{
    fti::FdsPart& fds = out.fds;
    if (in.left() < kFdsFixedBytes)
        return blockFail(block_, "cut short in " + who);
    for (uint8_t& step : fds.wave) {
        in.byte(step);
        step &= kFdsWaveMask;
    }
    for (uint8_t& code : fds.mod) {
        in.byte(code);
        code &= kFdsModMask;
    }
    in.int32(fds.modSpeed);
    in.int32(fds.modDepth);
    in.int32(fds.modDelay);
    const auto readSequences = [](Reader& r, int count, fti::Sequence* sequences) {
        for (int i = 0; i < count; ++i) {
            uint8_t length = 0;
            fti::Sequence sequence;
            if (!r.byte(length) || !r.int32(sequence.loop) || !r.int32(sequence.release) ||
                !r.int32(sequence.setting) || r.left() < length)
                return false;
            const auto* first = reinterpret_cast<const int8_t*>(r.here());
            sequence.items.assign(first, first + length);
            r.skip(length);
            sequence.enabled = length != 0;
            if (sequences)
                sequences[i] = sequence.enabled ? std::move(sequence) : fti::Sequence{};
        }
        return true;
    };
    int count = kFdsSequences;
    if (version < 3) {
        const auto plausible = [&](int tried) {
            Reader probe = in;
            int32_t nameLength = 0;
            if (!readSequences(probe, tried, nullptr) || !probe.int32(nameLength) || nameLength < 0 ||
                nameLength > kMaxNameBytes || !probe.skip(static_cast<size_t>(nameLength)))
                return false;
            if (std::any_of(probe.here() - nameLength, probe.here(),
                            [](unsigned char c) { return c < 0x20 && c != 0; }))
                return false;
            int32_t slot = 0;
            uint8_t type = 0;
            return probe.left() == 0 || (probe.int32(slot) && probe.byte(type) && slot >= 0 &&
                                         slot < kInstrumentSlots && type >= 1 && type <= 6);
        };
        count = -1;
        for (const int tried : {2, 3, 0})
            if (count < 0 && plausible(tried))
                count = tried;
        if (count < 0)
            return blockFail(block_, who + ": its FDS sequences are not followed by a name");
    }
    if (!readSequences(in, count, out.sequences))
        return blockFail(block_, "cut short in " + who + "'s sequences");
    // Blocks before version 4 count the volume in 16 steps, but one tracker
    // wrote 32 there already: doubled only when every item is within 16 steps.
    std::vector<int8_t>& volume = out.sequences[kVolumeType].items;
    if (version < kFdsVolume32Version) {
        const bool sixteenSteps =
            std::all_of(volume.begin(), volume.end(), [](int8_t item) { return item <= kMaxOldVolume; });
        for (int8_t& item : volume)
            item = static_cast<int8_t>(std::clamp(sixteenSteps ? item * 2 : int{item}, 0, fti::kFdsMaxVolume));
    }
    // Trackers before the one that moved FDS notes up two octaves wrote
    // PATTERNS below version 5: their fixed notes are two octaves lower.
    fti::Sequence& arp = out.sequences[kArpType];
    if (patternsVersion_ >= 1 && patternsVersion_ < kFdsOctavesMovedPatterns && arp.setting == fti::kArpFixed)
        for (int8_t& item : arp.items)
            item = static_cast<int8_t>(std::min(item + kFdsOctavesMoved, kHighestFixedNote));
    return true;
}

bool ModuleReader::readN163(Reader& in, int32_t version, const std::string& who, Instrument& instrument)
{
    fti::N163Part& n163 = instrument.instrument.n163;
    int32_t automatic = 0;
    if (!in.int32(n163.waveSize) || !in.int32(n163.wavePosition) || (version >= 8 && !in.int32(automatic)) ||
        !in.int32(n163.waveCount))
        return blockFail(block_, "cut short in " + who + "'s waves");
    n163.autoWavePosition = automatic != 0;
    if (n163.waveSize < 0 || n163.waveCount < 0)
        return blockFail(block_, who + " has " + std::to_string(n163.waveCount) + " waves of " +
                                     std::to_string(n163.waveSize) + " samples");
    const size_t bytes = static_cast<size_t>(n163.waveSize) * static_cast<size_t>(n163.waveCount);
    if (bytes > in.left())
        return blockFail(block_, "cut short in " + who + "'s waves");
    // Waves Plinka cannot hold leave this instrument out, not the others.
    std::string problem;
    if (!fti::validN163Waves(n163.waveSize, n163.waveCount, problem)) {
        if (instrument.problem.empty())
            instrument.problem = problem;
        in.skip(bytes);
        n163 = {};
        return true;
    }
    n163.waves.assign(in.here(), in.here() + bytes);
    for (uint8_t& sample : n163.waves)
        sample &= fti::kN163SampleMask;
    in.skip(bytes);
    return true;
}

// A VRC7 record: the patch and the custom patch's bytes, there whatever the
// patch. A patch past 15 leaves this instrument out, not the others.
bool ModuleReader::readVrc7(Reader& in, const std::string& who, Instrument& instrument)
{
    fti::Vrc7Part& vrc7 = instrument.instrument.vrc7;
    if (!in.int32(vrc7.patch) || in.left() < vrc7.custom.size())
        return blockFail(block_, "cut short in " + who + "'s patch");
    for (uint8_t& value : vrc7.custom)
        in.byte(value);
    if ((vrc7.patch < 0 || vrc7.patch > fti::kVrc7MaxPatch) && instrument.problem.empty())
        instrument.problem = "its VRC7 patch " + std::to_string(vrc7.patch) + " is not 0 (custom) to 15";
    return true;
}

// A flag, and when it is set the patch set that replaces the VRC7's built-in
// one. A block cut short is said and left out: the built-in patches play.
void ModuleReader::readEmulation(Reader& in)
{
    int32_t flag = 0;
    if (!in.int32(flag)) {
        module_.warnings.push_back(block_ + ": cut short before its flag; the VRC7's own patches are used");
        return;
    }
    if (flag == 0)
        return;
    std::array<fti::Vrc7Part, fti::kVrc7MaxPatch + 1> patches{};
    for (int entry = 0; entry < kEmuPatchEntries; ++entry) {
        if (in.left() < fti::kVrc7CustomBytes) {
            module_.warnings.push_back(block_ + ": cut short in patch " + std::to_string(entry) +
                                       "; the VRC7's own patches are used");
            in.seek(in.at() + in.left());
            return;
        }
        fti::Vrc7Part patch;
        for (uint8_t& value : patch.custom)
            in.byte(value);
        if (entry <= fti::kVrc7MaxPatch)
            patches[static_cast<size_t>(entry)] = patch;
        // Its name, up to its NUL or the block's end.
        const auto* name = reinterpret_cast<const char*>(in.here());
        const size_t length = strnlen(name, in.left());
        in.skip(std::min(length + 1, in.left()));
    }
    vrc7Patches_ = patches;
}

bool ModuleReader::readInstruments(Reader& in, int32_t version)
{
    int32_t count = 0;
    if (!in.int32(count))
        return blockFail(block_, "cut short before the instrument count");
    if (count < 0 || count > kInstrumentSlots)
        return blockFail(block_, "counts " + std::to_string(count) + " instruments (0 to 64)");
    if (static_cast<size_t>(count) > in.left() / kMinInstrumentBytes)
        return blockFail(block_, "counts " + std::to_string(count) + " instruments, more than the block holds");
    for (int32_t i = 0; i < count; ++i) {
        Record record;
        Instrument& instrument = record.instrument;
        int32_t slot = 0;
        uint8_t type = 0;
        if (!in.int32(slot) || !in.byte(type))
            return blockFail(block_, "cut short in instrument record " + std::to_string(i + 1));
        if (slot < 0 || slot >= kInstrumentSlots)
            return blockFail(block_, "instrument record " + std::to_string(i + 1) + " is in slot " +
                                         std::to_string(slot) + " (0 to 63)");
        const std::string who = slotName(slot);
        instrument.slot = slot;
        if (type == static_cast<uint8_t>(Type::Sid) && module_.version >= kSidVersion) {
            // Its record's layout is not known here; nothing after it can be found.
            module_.warnings.push_back(who + " is a SID instrument; it and the instruments after it are not read");
            in.seek(in.at() + in.left());
            return true;
        }
        if (type < static_cast<uint8_t>(Type::Chip2A03) || type > static_cast<uint8_t>(Type::S5B))
            return blockFail(block_, who + " has unknown type " + std::to_string(type));
        instrument.type = static_cast<Type>(type);
        switch (instrument.type) {
        case Type::Chip2A03: {
            if (!readSequenceRefs(in, who, instrument, record.refs))
                return false;
            int32_t keys = version == 1 ? kDenseKeysV1 : kDenseKeys;
            const bool sparse = version >= 7;
            if (sparse && !in.int32(keys))
                return blockFail(block_, "cut short in " + who + "'s DPCM keys");
            const size_t entryBytes = sparse ? 4 : version >= 6 ? 3 : 2;
            if (keys < 0 || keys > kDenseKeys)
                return blockFail(block_, who + " counts " + std::to_string(keys) + " DPCM keys (0 to 96)");
            if (static_cast<size_t>(keys) * entryBytes > in.left())
                return blockFail(block_, "cut short in " + who + "'s DPCM keys");
            for (int32_t k = 0; k < keys; ++k) {
                fti::DpcmKey key;
                key.note = static_cast<uint8_t>(k);
                if (sparse)
                    in.byte(key.note);
                in.byte(key.sample);
                in.byte(key.pitch);
                if (entryBytes >= 3)
                    in.byte(key.delta);
                key.pitch &= kPitchBits;
                if (key.delta & fti::kDpcmDeltaUnsetBit)
                    key.delta = fti::kDpcmNoDelta;
                // A sample number past the 64 slots is no tracker's: no sample.
                if (key.sample != 0 && key.sample <= kSampleSlots)
                    record.keys.push_back(key);
            }
            break;
        }
        case Type::Vrc6:
        case Type::S5B:
            if (!readSequenceRefs(in, who, instrument, record.refs))
                return false;
            break;
        case Type::N163:
            if (!readSequenceRefs(in, who, instrument, record.refs) || !readN163(in, version, who, instrument))
                return false;
            break;
        case Type::Vrc7:
            if (!readVrc7(in, who, instrument))
                return false;
            break;
        case Type::Fds:
            if (!readFds(in, version, who, instrument.instrument))
                return false;
            break;
        case Type::None:
        case Type::Sid:
            break;
        }
        int32_t nameLength = 0;
        if (!in.int32(nameLength))
            return blockFail(block_, "cut short before " + who + "'s name");
        if (nameLength < 0 || nameLength > kMaxNameBytes)
            return blockFail(block_, who + "'s name length " + std::to_string(nameLength) + " is not 0 to 128");
        if (static_cast<size_t>(nameLength) > in.left())
            return blockFail(block_, who + "'s name runs past the end of the block");
        const auto* text = reinterpret_cast<const char*>(in.here());
        instrument.name.assign(text, strnlen(text, static_cast<size_t>(nameLength)));
        in.skip(static_cast<size_t>(nameLength));
        records_[slot] = std::move(record);  // a later record of a slot replaces the earlier
    }
    return true;
}

void ModuleReader::resolve()
{
    int32_t replacedPatches = 0;
    for (auto& [slot, record] : records_) {
        Instrument& instrument = record.instrument;
        fti::Instrument& out = instrument.instrument;
        out.name = instrument.name;
        if (instrument.type == Type::Fds)
            out.type = fti::kTypeFds;  // its sequences came with it
        if (instrument.type == Type::Vrc7) {
            out.type = fti::kTypeVrc7;  // it has no sequences
            if (vrc7Patches_ && instrument.readable() && out.vrc7.patch != 0) {
                out.vrc7.custom = (*vrc7Patches_)[static_cast<size_t>(out.vrc7.patch)].custom;
                out.vrc7.patch = 0;
                ++replacedPatches;
            }
        }
        if (!instrument.readable() || instrument.type == Type::Fds || instrument.type == Type::Vrc7) {
            module_.instruments.push_back(std::move(instrument));
            continue;
        }
        out.type = instrument.type == Type::Vrc6   ? fti::kTypeVrc6
                   : instrument.type == Type::S5B  ? fti::kTypeS5b
                   : instrument.type == Type::N163 ? fti::kTypeN163
                                                   : fti::kType2A03;
        const Pool& pool = instrument.type == Type::Vrc6   ? poolVrc6_
                           : instrument.type == Type::S5B  ? poolS5b_
                           : instrument.type == Type::N163 ? poolN163_
                                                           : pool2A03_;
        for (int type = 0; type < kSequenceTypes; ++type) {
            const std::optional<uint8_t>& ref = record.refs[static_cast<size_t>(type)];
            fti::Sequence& sequence = out.sequences[type];
            if (!ref || *ref >= kPoolIndices)
                continue;
            // Missing or empty: the tracker plays no sequence of the type.
            const PoolSequence& stored = pool.untypedUsed && !pool.typed[static_cast<size_t>(type)][*ref].present
                                             ? pool.untyped[*ref]
                                             : pool.typed[static_cast<size_t>(type)][*ref];
            if (!stored.present || stored.items.empty())
                continue;
            if (stored.oldPairs) {
                unrollOldPairs(stored, type, clampOldRanges_, sequence);
                continue;
            }
            sequence.enabled = true;
            sequence.loop = stored.loop;
            sequence.release = stored.release;
            sequence.setting = stored.setting;
            sequence.items = stored.items;
        }
        // Keys naming an empty slot play nothing; the samples the others name
        // come along under their slots.
        std::array<bool, kSampleSlots> used{};
        for (const fti::DpcmKey& key : record.keys) {
            const size_t sampleSlot = key.sample - 1u;
            if (!samples_[sampleSlot])
                continue;
            out.dpcmKeys.push_back(key);
            used[sampleSlot] = true;
        }
        for (size_t s = 0; s < used.size(); ++s)
            if (used[s])
                out.dpcmSamples.push_back({static_cast<int32_t>(s), samples_[s]->name, samples_[s]->bytes});
        module_.instruments.push_back(std::move(instrument));
    }
    if (replacedPatches > 0)
        module_.notes.push_back("the module replaces the VRC7's built-in patches (its PARAMS_EMU block): " +
                                std::to_string(replacedPatches) +
                                (replacedPatches == 1 ? " instrument" : " instruments") + " naming one play" +
                                (replacedPatches == 1 ? "s" : "") + " the module's bytes as a custom patch");
}

}  // namespace

const char* typeName(Type type)
{
    return kTypeNames[static_cast<size_t>(type)];
}

bool looksLikeModule(const unsigned char* data, size_t size)
{
    const auto starts = [&](const char* signature) {
        return size >= std::strlen(signature) && std::memcmp(data, signature, std::strlen(signature)) == 0;
    };
    return starts(kSignature) || starts(kDnSignature) || isTextExport(data, size);
}

bool read(const unsigned char* data, size_t size, Module& module, std::string& error)
{
    // A text export is told by its content, whatever the file is called.
    if (isTextExport(data, size))
        return readText(data, size, module, error);
    module = {};
    ModuleReader reader(module, error);
    return reader.readBlocks(data, size);
}

}  // namespace ftm
