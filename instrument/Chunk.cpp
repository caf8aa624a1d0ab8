#include "Chunk.h"

#include "../engine/SharedSettings.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace chunk {
namespace {

constexpr size_t kCellBytes = 4;

void putCell(unsigned char*& out, float value)
{
    const auto bits = std::bit_cast<uint32_t>(value);
    for (size_t byte = 0; byte < kCellBytes; ++byte)
        *out++ = static_cast<unsigned char>(bits >> (8 * byte));
}

// Stands where the bytes would go, to learn their count: the one writer
// below both measures and writes, so the two can never disagree.
struct ByteCount {
    size_t bytes = 0;
};

void putCell(ByteCount& out, float)
{
    out.bytes += kCellBytes;
}

template <class Out> void putNumber(Out& out, int32_t value)
{
    putCell(out, static_cast<float>(value));
}

template <size_t N, class Out> void putString(Out& out, const char (&field)[N])
{
    for (size_t i = 0; i < N && field[i] != 0; ++i)
        putCell(out, static_cast<float>(static_cast<signed char>(field[i])));
    putCell(out, 0.0f);
}

// Reads cells from the delivered bytes only; a trailing partial cell is not a cell.
class CellReader {
public:
    CellReader(const unsigned char* data, size_t size) : data_(data), cells_(size / 4) {}

    bool atEnd() const { return next_ >= cells_; }
    float take()
    {
        const float cell = peek();
        ++next_;
        return cell;
    }
    // The next cell, left to be taken; only when not atEnd().
    float peek() const
    {
        const unsigned char* p = data_ + 4 * next_;
        return std::bit_cast<float>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                    static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
    }

private:
    const unsigned char* data_;
    size_t cells_;
    size_t next_ = 0;
};

// A number cell truncated toward zero, or false when the cell holds no value
// an int32 can take (NaN, infinities, huge values): that number is absent.
bool toInt32(float cell, int32_t& value)
{
    if (!(cell >= -2147483648.0f && cell < 2147483648.0f))
        return false;
    value = static_cast<int32_t>(cell);
    return true;
}

// Reads a number cell into field; an absent number leaves the field as it was.
void takeNumber(CellReader& cells, int32_t* field)
{
    if (cells.atEnd())
        return;
    int32_t value = 0;
    if (toInt32(cells.take(), value) && field)
        *field = value;
}

// The character a string cell holds: the low 8 bits of its truncated value.
// Cells beyond the int32 range are whole multiples of 256 and so give the zero
// byte; NaN and the infinities are taken the same way.
int32_t characterValue(float cell)
{
    int32_t value = 0;
    if (!toInt32(cell, value))
        return 256;
    return value;
}

// Reads a string into a field of N bytes (or discards it when field is null).
// It ends at the first cell whose value is 0; after N-1 characters it is cut,
// and the rest is left to be skipped as candidate tags.
template <size_t N> void takeString(CellReader& cells, char (*field)[N])
{
    size_t length = 0;
    while (length < N - 1 && !cells.atEnd()) {
        const int32_t value = characterValue(cells.take());
        if (value == 0)
            break;
        if (field)
            (*field)[length] = static_cast<char>(value & 0xFF);
        ++length;
    }
    if (field)
        (*field)[length] = 0;
}

// One sample's cells after its tag, added to the bank when all of them are
// usable. Its cells are read only as far as they look right, so that a tag
// among them is taken as the tag it is. Answers the sample's index in the
// bank, or -1 when it was left out.
int takeSample(CellReader& cells, SampleBank* samples)
{
    char name[kSampleNameSize + 1];  // room to take the terminator of the longest name too
    takeString(cells, &name);
    int32_t length = -1;
    takeNumber(cells, &length);
    if (!isLegalSampleLength(length))
        return -1;
    uint8_t bytes[kMaxSampleBytes];
    for (int32_t at = 0; at < length; at += kSampleBytesPerCell) {
        if (cells.atEnd())
            return -1;
        int32_t packed = -1;
        if (!toInt32(cells.peek(), packed) || packed < 0 || packed >= (1 << (8 * kSampleBytesPerCell)))
            return -1;
        cells.take();
        for (int32_t byte = 0; byte < kSampleBytesPerCell && at + byte < length; ++byte)
            bytes[at + byte] = static_cast<uint8_t>(packed >> (8 * byte));
    }
    if (!samples || samples->put(name, bytes, length))
        return -1;  // a bad name or a full bank leaves it out
    return samples->find(name);
}

// A program number and a text of that program's `field` (discarded for a
// number outside the bank); `read` marks the programs that had one.
void takeProgramText(CellReader& cells, ProgramBank& programs, char (Program::*field)[kEnvelopeTextSize],
                     bool (&read)[kProgramCount])
{
    int32_t number = -1;
    takeNumber(cells, &number);
    const bool inBank = number >= 0 && number < kProgramCount;
    takeString(cells, inBank ? &(programs[number].*field) : nullptr);
    if (inBank)
        read[number] = true;
}

int envelopeKindOfTag(float tag)
{
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        if (tag == tagEnvelope[kind])
            return kind;
    return -1;
}

// Each program's text of `field` that is not blank: the tag, the program
// number, the text.
template <class Out>
void putProgramTexts(Out& out, const ProgramBank& programs, float tag, const char (Program::*field)[kEnvelopeTextSize])
{
    for (int number = 0; number < kProgramCount; ++number) {
        if ((programs[number].*field)[0] == 0)
            continue;
        putCell(out, tag);
        putNumber(out, number);
        putString(out, programs[number].*field);
    }
}

template <class Out>
void writeCells(const ProgramBank& programs, const SampleBank* samples, const Settings& settings, Out& out)
{
    putCell(out, tagHeader);
    putCell(out, tagChannelPrograms);
    for (int32_t program : settings.channelProgram)
        putNumber(out, program);
    for (int number = 0; number < kProgramCount; ++number) {
        const Program& program = programs[number];
        putCell(out, tagProgram);
        putNumber(out, number);
        putCell(out, tagChannelType);
        putNumber(out, program.channelType);
        putCell(out, tagMulti);
        putNumber(out, program.multi);
        putCell(out, tagName);
        putString(out, program.name);
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            putCell(out, tagEnvelope[kind]);
            putString(out, program.envelopeText[kind]);
        }
    }
    putCell(out, tagNtsc);
    putNumber(out, settings.ntsc);
    putCell(out, tagGain);
    putNumber(out, settings.gain);
    if (settings.midiControllers != kSettingAbsent) {
        putCell(out, tagMidiControllers);
        putNumber(out, settings.midiControllers != 0 ? 1 : 0);
    }
    putProgramTexts(out, programs, tagKeyMap, &Program::keyMapText);
    for (int i = 0; samples && i < samples->count && i < kMaxSamples; ++i) {
        const DpcmSample& sample = samples->samples[i];
        const int32_t length = std::clamp(sample.length, 0, kMaxSampleBytes);
        putCell(out, tagSample);
        putString(out, sample.name);
        putNumber(out, length);
        for (int32_t at = 0; at < length; at += kSampleBytesPerCell) {
            int32_t packed = 0;
            for (int32_t byte = 0; byte < kSampleBytesPerCell && at + byte < length; ++byte)
                packed |= static_cast<int32_t>(sample.bytes[at + byte]) << (8 * byte);
            putNumber(out, packed);
        }
        if (sample.startLevel >= 0 && sample.startLevel <= kMaxStartLevel) {
            putCell(out, tagSampleStartLevel);
            putNumber(out, sample.startLevel);
        }
    }
    if (settings.console > 0 && settings.console < kConsoleModeCount) {
        putCell(out, tagConsole);
        putNumber(out, settings.console);
    }
    if (settings.n163Channels >= 1 && settings.n163Channels < kDefaultN163Channels) {
        putCell(out, tagN163Channels);
        putNumber(out, settings.n163Channels);
    }
    putProgramTexts(out, programs, tagWave, &Program::waveText);
    for (int number = 0; number < kProgramCount; ++number) {
        const Program& program = programs[number];
        if (program.mono == MonoOff && program.glide == 0 && program.tempoSteps == 0)
            continue;
        putCell(out, tagPlaying);
        putNumber(out, number);
        for (const int32_t value : {program.mono, program.glide, program.tempoSteps})
            putNumber(out, value);
    }
    if (settings.mpe > MpeOff && settings.mpe < kMpeModeCount) {
        putCell(out, tagMpe);
        putNumber(out, settings.mpe);
    }
    putCell(out, tagEnd);
}

}  // namespace

size_t write(const ProgramBank& programs, const Settings& settings, unsigned char* out)
{
    return write(programs, nullptr, settings, out);
}

size_t writtenBytes(const ProgramBank& programs, const SampleBank* samples, const Settings& settings)
{
    ByteCount count;
    writeCells(programs, samples, settings, count);
    return count.bytes;
}

size_t write(const ProgramBank& programs, const SampleBank* samples, const Settings& settings, unsigned char* out)
{
    unsigned char* cursor = out;
    writeCells(programs, samples, settings, cursor);
    return static_cast<size_t>(cursor - out);
}

std::vector<unsigned char> write(const ProgramBank& programs, const SampleBank* samples, const Settings& settings)
{
    std::vector<unsigned char> bytes(writtenBytes(programs, samples, settings));
    write(programs, samples, settings, bytes.data());
    return bytes;
}

void read(const unsigned char* data, size_t size, ProgramBank& programs, Settings& settings)
{
    read(data, size, programs, nullptr, settings);
}

void read(const unsigned char* data, size_t size, ProgramBank& programs, SampleBank* samples, Settings& settings)
{
    CellReader cells(data, size);
    bool keyMapRead[kProgramCount] = {};
    bool waveRead[kProgramCount] = {};
    bool playingRead[kProgramCount] = {};
    int32_t n163Channels = kSettingAbsent;
    bool sawSamples = false;
    // Tags before any program number fill program 0. After a program number
    // outside the bank, per-program tags are read and discarded until the next
    // valid one.
    Program* program = &programs[0];
    bool sawGain = false;
    int32_t controllers = kSettingAbsent;
    int32_t console = kSettingAbsent;
    int32_t mpe = kSettingAbsent;
    int lastSample = -1;  // the bank's index of the sample read last, which a start level belongs to
    while (!cells.atEnd()) {
        const float tag = cells.take();
        if (tag == tagEnd)
            break;
        if (tag == tagChannelPrograms) {
            for (int32_t& channelProgram : settings.channelProgram) {
                int32_t value = -1;
                takeNumber(cells, &value);
                if (value >= 0 && value < kProgramCount)
                    channelProgram = value;
            }
        } else if (tag == tagProgram) {
            int32_t number = -1;
            takeNumber(cells, &number);
            program = number >= 0 && number < kProgramCount ? &programs[number] : nullptr;
        } else if (tag == tagChannelType) {
            takeNumber(cells, program ? &program->channelType : nullptr);
        } else if (tag == tagMulti) {
            takeNumber(cells, program ? &program->multi : nullptr);
        } else if (tag == tagName) {
            takeString(cells, program ? &program->name : nullptr);
        } else if (const int kind = envelopeKindOfTag(tag); kind >= 0) {
            takeString(cells, program ? &program->envelopeText[kind] : nullptr);
        } else if (tag == tagNtsc) {
            takeNumber(cells, &settings.ntsc);
        } else if (tag == tagGain) {
            takeNumber(cells, &settings.gain);
            sawGain = true;
        } else if (tag == tagMidiControllers) {
            int32_t value = kSettingAbsent;
            takeNumber(cells, &value);
            if (value == 0 || value == 1)
                controllers = value;
        } else if (tag == tagConsole) {
            // A mode this reader does not know is no mode: the song plays as
            // it would without the cell.
            int32_t value = kSettingAbsent;
            takeNumber(cells, &value);
            if (value >= 0 && value < kConsoleModeCount)
                console = value;
        } else if (tag == tagMpe) {
            // As with the console mode: an unknown mode is no mode.
            int32_t value = kSettingAbsent;
            takeNumber(cells, &value);
            if (value >= MpeOff && value < kMpeModeCount)
                mpe = value;
        } else if (tag == tagN163Channels) {
            int32_t value = kSettingAbsent;
            takeNumber(cells, &value);
            if (value >= 1 && value <= kMaxN163Channels)
                n163Channels = value;
        } else if (tag == tagPlaying) {
            // -1 stays where a cell is missing or no number: refused below.
            int32_t number = -1;
            int32_t values[kPlayingNumbers] = {-1, -1, -1};
            takeNumber(cells, &number);
            for (int32_t& value : values)
                takeNumber(cells, &value);
            // A value no writer makes (a damaged cell) leaves the program played as before.
            if (number >= 0 && number < kProgramCount && values[0] >= MonoOff && values[0] < kMonoModeCount &&
                values[1] >= 0 && values[1] <= kMaxGlideMs && values[2] >= 0 && values[2] <= kMaxTempoSteps) {
                programs[number].mono = values[0];
                programs[number].glide = values[1];
                programs[number].tempoSteps = values[2];
                playingRead[number] = true;
            }
        } else if (tag == tagWave) {
            takeProgramText(cells, programs, &Program::waveText, waveRead);
        } else if (tag == tagKeyMap) {
            takeProgramText(cells, programs, &Program::keyMapText, keyMapRead);
        } else if (tag == tagSample) {
            // The chunk's samples replace the bank's, starting with its first.
            if (samples && !sawSamples)
                samples->count = 0;
            sawSamples = true;
            lastSample = takeSample(cells, samples);
        } else if (tag == tagSampleStartLevel) {
            int32_t level = kNoStartLevel;
            takeNumber(cells, &level);
            if (samples && lastSample >= 0 && level >= 0 && level <= kMaxStartLevel)
                samples->samples[lastSample].startLevel = static_cast<int8_t>(level);
            lastSample = -1;  // one level a sample
        }
        // Anything else, the header among it, is skipped one cell at a time.
    }
    // Every chunk ever saved holds the gain; one that holds it without the
    // controller setting was saved before the setting existed.
    if (controllers != kSettingAbsent || sawGain)
        settings.midiControllers = controllers;
    // Written only when on, so a saved chunk without it has it off.
    if (console != kSettingAbsent || sawGain)
        settings.console = console != kSettingAbsent ? console : 0;
    if (mpe != kSettingAbsent || sawGain)
        settings.mpe = mpe != kSettingAbsent ? mpe : MpeOff;
    if (n163Channels != kSettingAbsent || sawGain)
        settings.n163Channels = n163Channels != kSettingAbsent ? n163Channels : kDefaultN163Channels;
    // A saved chunk holds every key map, every wave text, every program's
    // playing cells and every sample.
    if (sawGain) {
        for (int number = 0; number < kProgramCount; ++number) {
            if (!keyMapRead[number])
                std::memset(programs[number].keyMapText, 0, sizeof programs[number].keyMapText);
            if (!waveRead[number])
                std::memset(programs[number].waveText, 0, sizeof programs[number].waveText);
            if (!playingRead[number]) {
                programs[number].mono = MonoOff;
                programs[number].glide = 0;
                programs[number].tempoSteps = 0;
            }
        }
        if (samples && !sawSamples)
            samples->count = 0;
    }
}

}  // namespace chunk
