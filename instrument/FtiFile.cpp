#include "FtiFile.h"

#include "ByteReader.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace fti {

namespace {

constexpr char kMagic[] = {'F', 'T', 'I'};
constexpr int kTypeNone = 0;  // files of some versions write it for a 2A03
// Each with its article, as the names are read aloud: "an FDS", "an N163".
constexpr const char* kChipNames[] = {nullptr, nullptr, "a VRC6", "a VRC7", "an FDS", "an N163", "a 5B"};
constexpr int kFirstReleaseVersion = 21;
constexpr int kFirstSettingVersion = 22;
constexpr int kFirstDpcmDeltaVersion = 24;
constexpr int kFirstAutoPositionVersion = 25;

using Reader = ByteReader;

void putInt32(std::vector<unsigned char>& out, int32_t value)
{
    const auto bits = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<unsigned char>(bits >> shift));
}

bool fail(std::string& error, std::string message)
{
    error = std::move(message);
    return false;
}

bool readSequence(Reader& in, int version, int index, Sequence& sequence, std::string& error)
{
    const std::string which = "sequence " + std::to_string(index + 1);
    const auto cut = [&](const char* what) { return fail(error, "cut short in " + which + "'s " + what); };
    uint8_t enabled = 0;
    if (!in.byte(enabled))
        return cut("enabled byte");
    sequence = {};
    if (enabled == 0)
        return true;
    sequence.enabled = true;
    int32_t count = 0;
    if (!in.int32(count))
        return cut("item count");
    if (!in.int32(sequence.loop))
        return cut("loop point");
    if (version >= kFirstReleaseVersion && !in.int32(sequence.release))
        return cut("release point");
    if (version >= kFirstSettingVersion && !in.int32(sequence.setting))
        return cut("setting");
    if (count < 0)
        return fail(error, which + " has a negative item count (" + std::to_string(count) + ")");
    if (static_cast<size_t>(count) > in.left())
        return fail(error, which + " counts " + std::to_string(count) + " items, the file holds " +
                               std::to_string(in.left()) + " more bytes");
    const auto* first = reinterpret_cast<const int8_t*>(in.here());
    sequence.items.assign(first, first + count);
    in.skip(sequence.items.size());
    return true;
}

bool readDpcm(Reader& in, int version, Instrument& instrument, std::string& error)
{
    int32_t keyCount = 0;
    if (!in.int32(keyCount))
        return fail(error, "cut short before the DPCM key count");
    const bool hasDelta = version >= kFirstDpcmDeltaVersion;
    const size_t entryBytes = hasDelta ? 4 : 3;
    if (keyCount < 0)
        return fail(error, "negative DPCM key count (" + std::to_string(keyCount) + ")");
    if (static_cast<size_t>(keyCount) > in.left() / entryBytes)
        return fail(error,
                    "the DPCM key map counts " + std::to_string(keyCount) + " entries, more than the file holds");
    if (keyCount > kMaxDpcmKeys)
        return fail(error, "the DPCM key map counts " + std::to_string(keyCount) + " entries; a tracker has at most " +
                               std::to_string(kMaxDpcmKeys));
    instrument.dpcmKeys.resize(static_cast<size_t>(keyCount));
    for (DpcmKey& key : instrument.dpcmKeys) {
        in.byte(key.note);  // the count was checked against what is left
        in.byte(key.sample);
        in.byte(key.pitch);
        if (hasDelta)
            in.byte(key.delta);
        else
            key.delta = kDpcmNoDelta;
    }
    int32_t sampleCount = 0;
    if (!in.int32(sampleCount))
        return fail(error, "cut short before the DPCM sample count");
    if (sampleCount < 0)
        return fail(error, "negative DPCM sample count (" + std::to_string(sampleCount) + ")");
    // Each sample takes its index, name length and size at least.
    constexpr size_t kSampleHeaderBytes = 12;
    if (static_cast<size_t>(sampleCount) > in.left() / kSampleHeaderBytes)
        return fail(error,
                    "the instrument counts " + std::to_string(sampleCount) + " DPCM samples, more than the file holds");
    if (sampleCount > kMaxDpcmSamples)
        return fail(error, "the instrument counts " + std::to_string(sampleCount) +
                               " DPCM samples; a tracker has at most " + std::to_string(kMaxDpcmSamples));
    instrument.dpcmSamples.clear();
    for (int32_t i = 0; i < sampleCount; ++i) {
        const std::string which = "DPCM sample " + std::to_string(i + 1);
        DpcmSample sample;
        int32_t length = 0;
        if (!in.int32(sample.index) || !in.int32(length))
            return fail(error, "cut short in " + which);
        if (length < 0 || static_cast<size_t>(length) > in.left())
            return fail(error, which + " has a name length of " + std::to_string(length) + " bytes, the file holds " +
                                   std::to_string(in.left()) + " more");
        if (length > kMaxDpcmNameBytes)
            return fail(error, which + "'s name length " + std::to_string(length) + " is longer than 256");
        sample.name.assign(reinterpret_cast<const char*>(in.here()), static_cast<size_t>(length));
        in.skip(static_cast<size_t>(length));
        int32_t size = 0;
        if (!in.int32(size))
            return fail(error, "cut short in " + which);
        if (size < 0 || static_cast<size_t>(size) > in.left())
            return fail(error, which + " has " + std::to_string(size) + " bytes of data, the file holds " +
                                   std::to_string(in.left()) + " more");
        sample.bytes.assign(in.here(), in.here() + size);
        in.skip(static_cast<size_t>(size));
        instrument.dpcmSamples.push_back(std::move(sample));
    }
    return true;
}

bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// An FDS instrument's sequences: each always there, its item count an int32
// (0: not used), loop, release and setting whatever the version.
bool readFdsSequence(Reader& in, int index, Sequence& sequence, std::string& error)
{
    constexpr const char* kNames[kFdsSequenceCount] = {"volume", "arpeggio", "pitch"};
    const std::string which = std::string("the FDS ") + kNames[index] + " sequence";
    int32_t count = 0;
    sequence = {};
    if (!in.int32(count) || !in.int32(sequence.loop) || !in.int32(sequence.release) || !in.int32(sequence.setting))
        return fail(error, "cut short in " + which);
    if (count < 0)
        return fail(error, which + " has a negative item count (" + std::to_string(count) + ")");
    if (static_cast<size_t>(count) > in.left())
        return fail(error, which + " counts " + std::to_string(count) + " items, the file holds " +
                               std::to_string(in.left()) + " more bytes");
    if (count == 0) {
        sequence = {};
        return true;
    }
    const auto* first = reinterpret_cast<const int8_t*>(in.here());
    sequence.items.assign(first, first + count);
    sequence.enabled = true;
    in.skip(sequence.items.size());
    return true;
}

bool readFds(Reader& in, Instrument& instrument, std::string& error)
{
    FdsPart& fds = instrument.fds;
    if (in.left() < sizeof fds.wave + sizeof fds.mod)
        return fail(error, "cut short in the FDS wave and modulation table");
    constexpr uint8_t kWaveMask = 0x3F;
    constexpr uint8_t kModMask = 0x07;
    for (uint8_t& step : fds.wave) {
        in.byte(step);
        step &= kWaveMask;
    }
    for (uint8_t& code : fds.mod) {
        in.byte(code);
        code &= kModMask;
    }
    if (!in.int32(fds.modSpeed) || !in.int32(fds.modDepth) || !in.int32(fds.modDelay))
        return fail(error, "cut short in the FDS modulation speed, depth and delay");
    for (int i = 0; i < kFdsSequenceCount; ++i)
        if (!readFdsSequence(in, i, instrument.sequences[i], error))
            return false;
    for (int i = kFdsSequenceCount; i < kSequenceCount; ++i)
        instrument.sequences[i] = {};
    if (instrument.version < kFirstFdsVolume32Version)
        for (int8_t& item : instrument.sequences[0].items)
            item = static_cast<int8_t>(std::clamp(item * 2, 0, kFdsMaxVolume));
    return true;
}

// Whether the int32 after a 2.5 N163 instrument's wave position is the auto
// position flag. The one tracker that writes 2.5 cannot be checked; of the
// programs that read 2.5, one reads the flag there, the other means to but
// never does, so files of both layouts may be about. Nothing follows the
// waves, so the layout whose wave count times wave size ends the file
// exactly is the one written. When neither does the file is damaged (cut
// short, or with bytes after the waves), and it is read with the flag when
// the bytes there read as one (0 or 1, then a wave count of 1 to 64 or the
// file's end), so the one line says what is wrong with the layout it has.
// Nothing tells a flag-1 file cut exactly where a one-wave file of the other
// layout would end from such a file: it reads as one.
bool holdsAutoPositionFlag(const Reader& in, int32_t waveSize)
{
    const auto int32At = [&](size_t offset, int32_t& value) {
        Reader at = in;
        return at.skip(offset) && at.int32(value);
    };
    const auto isCount = [](int32_t count) { return count >= 1 && count <= kN163MaxWaves; };
    // Whether the wave count offset bytes on names waves that end the file.
    const auto endsFile = [&](size_t offset) {
        int32_t count = 0;
        return int32At(offset, count) && isCount(count) && waveSize > 0 && waveSize <= kN163MaxWaveSize &&
               static_cast<size_t>(count) * static_cast<size_t>(waveSize) + offset + 4 == in.left();
    };
    int32_t flag = -1;
    int32_t count = 0;
    const bool readsAsFlag = int32At(0, flag) && (flag == 0 || flag == 1) && (!int32At(4, count) || isCount(count));
    if (readsAsFlag && endsFile(4))
        return true;
    return readsAsFlag && !endsFile(0);
}

bool readN163(Reader& in, Instrument& instrument, std::string& error)
{
    N163Part& n163 = instrument.n163;
    int32_t flag = 0;
    if (!in.int32(n163.waveSize) || !in.int32(n163.wavePosition) ||
        (instrument.version >= kFirstAutoPositionVersion && holdsAutoPositionFlag(in, n163.waveSize) &&
         !in.int32(flag)) ||
        !in.int32(n163.waveCount))
        return fail(error, "cut short in the N163 wave size, position and count");
    n163.autoWavePosition = flag != 0;
    if (!validN163Waves(n163.waveSize, n163.waveCount, error))
        return false;
    const size_t bytes = static_cast<size_t>(n163.waveSize) * static_cast<size_t>(n163.waveCount);
    if (bytes > in.left())
        return fail(error, "the N163 waves take " + std::to_string(bytes) + " bytes, the file holds " +
                               std::to_string(in.left()) + " more");
    n163.waves.assign(in.here(), in.here() + bytes);
    for (uint8_t& sample : n163.waves)
        sample &= kN163SampleMask;
    in.skip(bytes);
    return true;
}

// The patch and then the custom patch's bytes, there whatever the patch.
bool readVrc7(Reader& in, Vrc7Part& vrc7, std::string& error)
{
    if (!in.int32(vrc7.patch))
        return fail(error, "cut short in the VRC7 patch");
    if (vrc7.patch < 0 || vrc7.patch > kVrc7MaxPatch)
        return fail(error, "the VRC7 patch " + std::to_string(vrc7.patch) + " is not 0 (custom) to 15");
    if (in.left() < vrc7.custom.size())
        return fail(error, "cut short in the VRC7 custom patch's bytes");
    for (uint8_t& value : vrc7.custom)
        in.byte(value);
    return true;
}

}  // namespace

bool validN163Waves(int32_t waveSize, int32_t waveCount, std::string& error)
{
    if (waveSize < kN163MinWaveSize || waveSize > kN163MaxWaveSize || waveSize % kN163WaveSizeStep != 0)
        return fail(error, "the N163 wave size " + std::to_string(waveSize) +
                               " is not a multiple of 4 from 4 to 240, which Plinka's waves hold");
    if (waveCount < 1 || waveCount > kN163MaxWaves)
        return fail(error, "the N163 instrument counts " + std::to_string(waveCount) + " waves (1 to 64)");
    return true;
}

bool read(const unsigned char* data, size_t size, Instrument& instrument, std::string& error)
{
    Reader in(data, size);
    if (size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0)
        return fail(error, "not a tracker instrument (it does not start with 'FTI')");
    in.skip(sizeof kMagic);
    if (in.left() < 3)
        return fail(error, "cut short in the version");
    const unsigned char* v = in.here();
    if (!isDigit(v[0]) || v[1] != '.' || !isDigit(v[2]))
        return fail(error, "unknown version (the bytes after 'FTI' are not a version like 2.4)");
    instrument.version = (v[0] - '0') * 10 + (v[2] - '0');
    in.skip(3);
    if (instrument.version < kMinVersion || instrument.version > kMaxVersion)
        return fail(error, "version " + std::string(1, static_cast<char>(v[0])) + "." +
                               std::string(1, static_cast<char>(v[2])) + " is not read (versions 2.0 to 2.5 are)");
    uint8_t type = 0;
    if (!in.byte(type))
        return fail(error, "cut short before the instrument type");
    if (type != kTypeNone && type != kType2A03 && type != kTypeVrc6 && type != kTypeVrc7 && type != kTypeFds &&
        type != kTypeN163 && type != kTypeS5b) {
        if (type < std::size(kChipNames))
            return fail(error, std::string(kChipNames[type]) +
                                   " instrument; Plinka reads 2A03, VRC6, FDS, N163 and 5B instruments only");
        return fail(error, "unknown instrument type " + std::to_string(type));
    }
    instrument.type = type == kTypeNone ? kType2A03 : type;
    int32_t nameLength = 0;
    if (!in.int32(nameLength))
        return fail(error, "cut short before the name length");
    if (nameLength < 0)
        return fail(error, "negative name length (" + std::to_string(nameLength) + ")");
    if (nameLength > kMaxNameBytes)
        return fail(error, "name length " + std::to_string(nameLength) + " is longer than 128");
    if (static_cast<size_t>(nameLength) > in.left())
        return fail(error, "cut short in the name");
    instrument.name.assign(reinterpret_cast<const char*>(in.here()), static_cast<size_t>(nameLength));
    in.skip(static_cast<size_t>(nameLength));
    instrument.dpcmKeys.clear();
    instrument.dpcmSamples.clear();
    instrument.fds = {};
    instrument.n163 = {};
    instrument.vrc7 = {};
    if (instrument.type == kTypeFds) {
        instrument.nameOnly = false;
        return readFds(in, instrument, error);
    }
    instrument.nameOnly = (instrument.type == kTypeS5b || instrument.type == kTypeVrc7) && in.left() == 0;
    if (instrument.nameOnly || instrument.type == kTypeVrc7) {
        for (Sequence& sequence : instrument.sequences)
            sequence = {};
        return instrument.nameOnly || readVrc7(in, instrument.vrc7, error);
    }

    uint8_t count = 0;
    if (!in.byte(count))
        return fail(error, "cut short before the sequence count");
    for (int i = 0; i < count; ++i) {
        Sequence sequence;
        if (!readSequence(in, instrument.version, i, sequence, error))
            return false;
        if (i < kSequenceCount)
            instrument.sequences[i] = std::move(sequence);
    }
    for (int i = count; i < kSequenceCount; ++i)
        instrument.sequences[i] = {};
    if (instrument.type == kTypeN163)
        return readN163(in, instrument, error);
    if (instrument.type != kType2A03)
        return true;  // VRC6 and 5B instruments end with their sequences
    return readDpcm(in, instrument.version, instrument, error);
}

std::vector<unsigned char> write(const Instrument& instrument)
{
    std::vector<unsigned char> out(std::begin(kMagic), std::end(kMagic));
    out.push_back(static_cast<unsigned char>('0' + kWrittenVersion / 10));
    out.push_back('.');
    out.push_back(static_cast<unsigned char>('0' + kWrittenVersion % 10));
    const bool withDpcm = instrument.type != kTypeVrc6 && instrument.type != kTypeS5b && instrument.type != kTypeFds &&
                          instrument.type != kTypeN163 && instrument.type != kTypeVrc7;
    out.push_back(static_cast<unsigned char>(withDpcm ? kType2A03 : instrument.type));
    const size_t nameBytes = std::min(instrument.name.size(), static_cast<size_t>(kMaxNameBytes));
    putInt32(out, static_cast<int32_t>(nameBytes));
    out.insert(out.end(), instrument.name.begin(), instrument.name.begin() + static_cast<std::ptrdiff_t>(nameBytes));
    if (instrument.type == kTypeFds) {
        const FdsPart& fds = instrument.fds;
        out.insert(out.end(), std::begin(fds.wave), std::end(fds.wave));
        out.insert(out.end(), std::begin(fds.mod), std::end(fds.mod));
        for (const int32_t value : {fds.modSpeed, fds.modDepth, fds.modDelay})
            putInt32(out, value);
        for (int i = 0; i < kFdsSequenceCount; ++i) {
            const Sequence& sequence = instrument.sequences[i];
            const bool used = sequence.enabled && !sequence.items.empty();
            putInt32(out, used ? static_cast<int32_t>(sequence.items.size()) : 0);
            putInt32(out, used ? sequence.loop : kNone);
            putInt32(out, used ? sequence.release : kNone);
            putInt32(out, used ? sequence.setting : 0);
            if (used)
                for (const int8_t item : sequence.items)
                    out.push_back(static_cast<unsigned char>(item));
        }
        return out;
    }
    if (instrument.type == kTypeVrc7) {
        putInt32(out, instrument.vrc7.patch);
        out.insert(out.end(), instrument.vrc7.custom.begin(), instrument.vrc7.custom.end());
        return out;
    }
    out.push_back(kSequenceCount);
    for (const Sequence& sequence : instrument.sequences) {
        out.push_back(sequence.enabled ? 1 : 0);
        if (!sequence.enabled)
            continue;
        putInt32(out, static_cast<int32_t>(sequence.items.size()));
        putInt32(out, sequence.loop);
        putInt32(out, sequence.release);
        putInt32(out, sequence.setting);
        for (const int8_t item : sequence.items)
            out.push_back(static_cast<unsigned char>(item));
    }
    if (instrument.type == kTypeN163) {
        const N163Part& n163 = instrument.n163;
        for (const int32_t value : {n163.waveSize, n163.wavePosition, n163.waveCount})
            putInt32(out, value);
        out.insert(out.end(), n163.waves.begin(), n163.waves.end());
    }
    if (withDpcm) {
        putInt32(out, static_cast<int32_t>(instrument.dpcmKeys.size()));
        for (const DpcmKey& key : instrument.dpcmKeys)
            out.insert(out.end(), {key.note, key.sample, key.pitch, key.delta});
        putInt32(out, static_cast<int32_t>(instrument.dpcmSamples.size()));
        for (const DpcmSample& sample : instrument.dpcmSamples) {
            putInt32(out, sample.index);
            const size_t sampleNameBytes = std::min(sample.name.size(), static_cast<size_t>(kMaxDpcmNameBytes));
            putInt32(out, static_cast<int32_t>(sampleNameBytes));
            out.insert(out.end(), sample.name.begin(),
                       sample.name.begin() + static_cast<std::ptrdiff_t>(sampleNameBytes));
            putInt32(out, static_cast<int32_t>(sample.bytes.size()));
            out.insert(out.end(), sample.bytes.begin(), sample.bytes.end());
        }
    }
    return out;
}

}  // namespace fti
