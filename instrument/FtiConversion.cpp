#include "FtiConversion.h"

#include "BankText.h"
#include "engine/EnvelopeCompiler.h"
#include "engine/KeyMapCompiler.h"
#include "engine/S5bFrame.h"
#include "engine/WaveCompiler.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <utility>

namespace fticonversion {

namespace {

constexpr int32_t kMaxVolume = 15;
constexpr int32_t kMaxSawRate = kChannelKinds[Vrc6Saw].maxVolume;
static_assert(kChannelKinds[Pulse].ftiType == fti::kType2A03 && kChannelKinds[Vrc6Pulse].ftiType == fti::kTypeVrc6 &&
              kChannelKinds[S5b].ftiType == fti::kTypeS5b && kChannelKinds[Mmc5Pulse].ftiType == fti::kType2A03 &&
              kChannelKinds[Vrc7].ftiType == fti::kTypeVrc7);

// The tracker's instrument type for a program's channel; a channel no chip
// has goes out as the 2A03's.
constexpr int ftiTypeOf(int32_t channelType)
{
    return isChannelType(channelType) ? channelKind(channelType).ftiType : fti::kType2A03;
}

// The widest Duty among the channels of a tracker instrument type: what its
// duty sequence holds (the 2A03's pulse widths 0..3, the VRC6's 0..7).
constexpr int32_t maxDutyOf(int ftiType)
{
    int32_t widest = 0;
    for (const ChannelKind& kind : kChannelKinds)
        if (kind.ftiType == ftiType)
            widest = std::max(widest, kind.maxDuty);
    return widest;
}

// The first channel of a tracker instrument type, in ChannelType order.
constexpr int32_t firstChannelOf(int ftiType)
{
    for (const ChannelKind& kind : kChannelKinds)
        if (kind.ftiType == ftiType)
            return kind.type;
    return Pulse;
}
// A tracker's 16-step volume on the saw: 15 is rate 42, the loudest whose
// accumulator never wraps, and the steps between are rounded to the nearest
// rate. Each of the sixteen rates comes back as its volume.
constexpr int32_t kLoudestCleanSawRate = 42;
// The tracker counts notes from its C-0, which is Plinka's note 12.
constexpr int32_t kTrackerNoteOffset = 12;
constexpr int32_t kItemMin = -128;
constexpr int32_t kItemMax = 127;
// The tracker's notes run from its C-0 to B-7 (Plinka's @12 to @107); it
// takes arpeggio steps up to that span, as its sequence editor does.
constexpr int32_t kTrackerHighestNote = 95;
constexpr int32_t kTrackerMaxArpStep = 96;
constexpr size_t kMaxTextBytes = kEnvelopeTextSize - 1;

// The pulse's longest period (2047) plays 54.6 Hz at the NTSC clock, the
// tracker's A-1: a fixed note below it sounds only on the noise.
constexpr int32_t kPulseLowestNote = 21;
// Words of a name that mean the noise channel's drums.
constexpr const char* kNoiseWords[] = {"noise", "hat",  "hihat",  "hh",     "snare", "snr",  "cymbal",    "cym",
                                       "crash", "ride", "splash", "shaker", "clap",  "tamb", "tambourine"};

// A name's words in lower case: runs of letters, a capital after a small
// letter starting a new one, so "Hi-Hat 2" and "HiHat" are "hi", "hat".
std::vector<std::string> wordsOf(const std::string& name)
{
    std::vector<std::string> words(1);
    bool afterSmall = false;
    for (const char c : name) {
        const bool small = c >= 'a' && c <= 'z';
        const bool capital = c >= 'A' && c <= 'Z';
        if ((!small && !capital) || (capital && afterSmall))
            if (!words.back().empty())
                words.emplace_back();
        if (small || capital)
            words.back() += static_cast<char>(capital ? c - 'A' + 'a' : c);
        afterSmall = small;
    }
    return words;
}

int32_t sawRateOfVolume(int32_t volume)
{
    return (volume * kLoudestCleanSawRate * 2 + kMaxVolume) / (2 * kMaxVolume);
}

int32_t volumeOfSawRate(int32_t rate)
{
    return (rate * kMaxVolume * 2 + kLoudestCleanSawRate) / (2 * kLoudestCleanSawRate);
}

// What an envelope plays where the tracker's sequence is disabled: an FDS
// instrument without a volume sequence plays at its full 31.
int32_t defaultValue(int kind, int ftiType)
{
    if (kind != Volume)
        return 0;
    return ftiType == fti::kTypeFds ? fti::kFdsMaxVolume : kMaxVolume;
}

std::string defaultText(int kind, int ftiType)
{
    return std::to_string(defaultValue(kind, ftiType));
}

// An item of a scheme arpeggio as an offset from the note: its low six bits,
// from kArpSchemeMaxOffset on wrapping to the negatives (-27..-1). Plinka has
// no chord to take x and y from, so they count as 0: the +x, +y and -y in the
// top two bits add nothing, and each item plays its offset alone.
int32_t schemeOffset(int32_t item)
{
    const int32_t offset = static_cast<uint8_t>(item) & fti::kArpSchemeOffsetBits;
    return offset > fti::kArpSchemeMaxOffset ? offset - (fti::kArpSchemeOffsetBits + 1) : offset;
}

bool schemeUsesArguments(int32_t item)
{
    return (static_cast<uint8_t>(item) & ~fti::kArpSchemeOffsetBits & 0xFF) != 0;
}

std::string valueText(bool fixed, int32_t value)
{
    std::string text = fixed ? "@" : "";
    text += std::to_string(value);
    return text;
}

// The text of the first `count` values with the markers where they fall.
std::string markedText(const std::vector<int32_t>& values, bool fixed, size_t count, int32_t loop, int32_t release)
{
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (static_cast<int32_t>(i) == loop)
            text += i == 0 ? "| " : " | ";
        else if (i != 0)
            text += ' ';
        text += valueText(fixed, values[i]);
        if (static_cast<int32_t>(i) == release && i + 1 < count)
            text += " /";
    }
    return text;
}

// What a sequence becomes depends on the program's channel and, for the
// volume, on the instrument's type.
struct Target {
    int32_t channelType;
    int ftiType;  // the instrument's
    bool vrc6Instrument() const { return ftiType == fti::kTypeVrc6; }
    bool s5bInstrument() const { return ftiType == fti::kTypeS5b; }
};

// A 5B duty item as the mode the 5B channel plays. The chip's envelope wins
// over the tone and noise bits: its shape and period come from the tracker's
// patterns, so the nearest Plinka has is the saw buzz at the key's pitch. A
// step with nothing on is silent in the tracker; it plays the tone here, as
// a Duty step cannot silence the note (the Volume does). Period bits are left
// to the notes: Plinka's noise period follows the key.
s5b_frame::Mode modeOfS5bItem(int32_t item)
{
    const auto bits = static_cast<uint8_t>(item);
    if (bits & fti::kS5bEnvelopeBit)
        return s5b_frame::SawBuzz;
    const bool tone = bits & fti::kS5bToneBit;
    const bool noise = bits & fti::kS5bNoiseBit;
    return tone && noise ? s5b_frame::ToneAndNoise : noise ? s5b_frame::NoiseOnly : s5b_frame::Tone;
}

// A mode back as the bit field: both buzzes as the envelope bit, the noise
// period 0 (a tracker's fixed period; a file this writes reads back as "follows
// the key").
int8_t s5bItemOfMode(s5b_frame::Mode mode)
{
    switch (mode) {
    case s5b_frame::Tone:
        return static_cast<int8_t>(fti::kS5bToneBit);
    case s5b_frame::NoiseOnly:
        return static_cast<int8_t>(fti::kS5bNoiseBit);
    case s5b_frame::ToneAndNoise:
        return static_cast<int8_t>(fti::kS5bToneBit | fti::kS5bNoiseBit);
    case s5b_frame::SawBuzz:
    case s5b_frame::TriangleBuzz:
    case s5b_frame::kModeCount:
        break;
    }
    return static_cast<int8_t>(fti::kS5bEnvelopeBit);
}

std::string sequenceText(const fti::Sequence& sequence, int kind, const Target& target, std::vector<std::string>& notes)
{
    const std::string name = banktext::kEnvelopeKindName[kind];
    const auto note = [&](const std::string& what) { notes.push_back(name + ": " + what); };
    if (!sequence.enabled || sequence.items.empty())
        return defaultText(kind, ftiTypeOf(target.channelType));

    size_t count = sequence.items.size();
    if (count > static_cast<size_t>(fti::kMaxUsedItems)) {
        note(std::to_string(count) + " items; the tracker plays the first 252, and so does this program");
        count = fti::kMaxUsedItems;
    }
    int32_t loop = sequence.loop;
    int32_t release = sequence.release;
    if (loop != fti::kNone && (loop < 0 || loop >= static_cast<int32_t>(count))) {
        note("loop point " + std::to_string(loop) + " lies outside the sequence; left out");
        loop = fti::kNone;
    }
    if (release != fti::kNone && (release < 0 || release >= static_cast<int32_t>(count))) {
        note("release point " + std::to_string(release) + " lies outside the sequence; left out");
        release = fti::kNone;
    }
    if (loop != fti::kNone && release != fti::kNone && loop > release) {
        note("the loop comes after the release point, which Plinka cannot play; the loop is left out");
        loop = fti::kNone;
    }

    // A VRC6 instrument's volume may count 64 steps, meant for the saw's rate;
    // everything else counts 16.
    const bool saw = target.channelType == Vrc6Saw;
    const bool volume64 = kind == Volume && target.vrc6Instrument() && sequence.setting == fti::kVolume64Steps;
    // An FDS volume is the chip's gain as it is, 0..31 of Plinka's 0..32.
    const bool fdsVolume = target.channelType == Fds;
    const int32_t maxVolume = fdsVolume ? fti::kFdsMaxVolume : saw && volume64 ? kMaxSawRate : kMaxVolume;
    const int32_t maxDuty = maxDutyOf(ftiTypeOf(target.channelType));
    // What the clamp note names: a 64-step volume's top even where it became 16 steps.
    const int32_t volumeTop = fdsVolume ? fti::kFdsMaxVolume : volume64 ? kMaxSawRate : kMaxVolume;
    bool rounded = false;

    std::vector<int32_t> values(count);
    bool fixed = false;
    bool clamped = false;
    const auto clampTo = [&](int32_t value, int32_t low, int32_t high) {
        clamped = clamped || value < low || value > high;
        return std::clamp(value, low, high);
    };
    int32_t sum = 0;
    int32_t previous = 0;
    bool schemeArguments = false;
    const bool s5bDuty = kind == Duty && target.s5bInstrument();
    bool silentSteps = false;
    bool envelopeSteps = false;
    bool fixedNoisePeriods = false;
    for (size_t i = 0; i < count; ++i) {
        const int32_t item = sequence.items[i];
        int32_t& value = values[i];
        switch (kind) {
        case Volume:
            if (volume64 && !saw) {
                value = std::min(volumeOfSawRate(clampTo(item, 0, kMaxSawRate)), kMaxVolume);
                rounded = rounded || sawRateOfVolume(value) != std::clamp<int32_t>(item, 0, kMaxSawRate);
            } else {
                value = clampTo(item, 0, maxVolume);
                if (saw && !volume64) {
                    rounded = rounded || value * kLoudestCleanSawRate % kMaxVolume != 0;
                    value = sawRateOfVolume(value);
                }
            }
            break;
        case Arp:
            if (sequence.setting == fti::kArpFixed) {
                fixed = true;
                value = clampTo(item + kTrackerNoteOffset, 0, kMaxFixedNote);
            } else if (sequence.setting == fti::kArpRelative) {
                sum += item;
                value = clampTo(sum, kItemMin, kItemMax);
            } else if (sequence.setting == fti::kArpScheme) {
                value = schemeOffset(item);
                schemeArguments = schemeArguments || schemeUsesArguments(item);
            } else {
                value = item;
            }
            break;
        case Pitch:
            // Plinka's Pitch adds to the period every frame; an absolute offset becomes its steps,
            // a jump too large for one step reaching its target over the next ones.
            value = sequence.setting == fti::kPitchAbsolute ? clampTo(item - previous, kItemMin, kItemMax) : item;
            previous += value;
            break;
        case Duty:
            if (s5bDuty) {
                const auto bits = static_cast<uint8_t>(item);
                silentSteps =
                    silentSteps || (bits & (fti::kS5bToneBit | fti::kS5bNoiseBit | fti::kS5bEnvelopeBit)) == 0;
                envelopeSteps = envelopeSteps || (bits & fti::kS5bEnvelopeBit) != 0;
                // Under the envelope the noise is gone anyway: its period is not said as well.
                fixedNoisePeriods =
                    fixedNoisePeriods || ((bits & fti::kS5bNoiseBit) != 0 && (bits & fti::kS5bEnvelopeBit) == 0 &&
                                          (bits & fti::kS5bNoisePeriodMask) != 0);
                value = clampTo(modeOfS5bItem(item), 0, maxDuty);
            } else {
                value = clampTo(item, 0, maxDuty);
            }
            break;
        default:
            value = item;
            break;
        }
    }
    if (clamped)
        note(fixed ? "fixed notes outside @0..@127 moved to the nearest"
             : kind == Volume || kind == Duty
                 ? "values outside 0.." + std::to_string(kind == Volume ? volumeTop : maxDuty) + " moved to the nearest"
                 : "steps beyond -128..127, which a tracker sequence cannot hold, "
                   "moved to the nearest");
    if (rounded)
        note(saw ? "the tracker's 16 volume steps made into the saw's rates (volume 15 is rate 42), "
                   "some rounded to the nearest rate"
                 : "the 64-step volume made into 16 steps (rate 42 is volume 15), some rounded to the nearest "
                   "step");
    if (kind == Volume && target.vrc6Instrument() && sequence.setting > fti::kVolume64Steps)
        note("unknown volume setting " + std::to_string(sequence.setting) + ", read as 16 steps");
    if (kind == Arp && sequence.setting == fti::kArpRelative && loop != fti::kNone)
        note("relative arpeggio made into steps from the note; they no longer add up each time the loop repeats");
    if (kind == Arp && schemeArguments)
        note("scheme arpeggio: Plinka has no chord arguments, so x and y count as 0 and each item plays its "
             "offset alone");
    if (kind == Arp && sequence.setting > fti::kArpScheme)
        note("unknown arpeggio setting " + std::to_string(sequence.setting) + ", read as absolute");
    if (kind == Pitch && sequence.setting == fti::kPitchAbsolute && loop != fti::kNone)
        note("absolute pitch made into relative steps; the loop now moves the pitch on each time it repeats");
    if (kind == Pitch && sequence.setting > fti::kPitchAbsolute)
        note("unknown pitch setting " + std::to_string(sequence.setting) + ", read as relative");
    if (silentSteps)
        note("steps with neither tone, noise nor envelope on, silent in the tracker, play the tone");
    if (envelopeSteps)
        note("the chip's envelope, whose shape and period the tracker's patterns set, made into the saw buzz at "
             "the key's pitch");
    if (fixedNoisePeriods)
        note("the tracker's fixed noise periods left out; Plinka's follows the key");

    std::string text = markedText(values, fixed, count, loop, release);
    if (text.size() > kMaxTextBytes) {
        while (count > 1 && text.size() > kMaxTextBytes) {
            --count;
            if (loop >= static_cast<int32_t>(count))
                loop = fti::kNone;
            if (release >= static_cast<int32_t>(count))
                release = fti::kNone;
            text = markedText(values, fixed, count, loop, release);
        }
        note("longer than an envelope text holds; cut to its first " + std::to_string(count) + " values");
    }
    if (kind == Volume && release != fti::kNone && values[count - 1] != 0)
        note("the release ends at volume " + std::to_string(values[count - 1]) +
             ", which the tracker holds; Plinka ends the note there");
    return text;
}

struct ItemRange {
    int32_t low;
    int32_t high;
};

// The items the tracker takes for a kind, as its sequence editor accepts them;
// others it misreads, or plays otherwise than Plinka. A VRC6 pulse has eight
// duties; the saw's rate written as a 64-step volume goes up to 63.
ItemRange trackerRange(int kind, bool fixedNotes, int32_t channelType, bool volume64Steps)
{
    switch (kind) {
    case Volume:
        return {0, ftiTypeOf(channelType) == fti::kTypeFds ? fti::kFdsMaxVolume
                   : volume64Steps                         ? kMaxSawRate
                                                           : kMaxVolume};
    case Arp:
        return fixedNotes ? ItemRange{0, kTrackerHighestNote} : ItemRange{-kTrackerMaxArpStep, kTrackerMaxArpStep};
    case Duty:
        return {0, maxDutyOf(ftiTypeOf(channelType))};
    default:
        return {kItemMin, kItemMax};
    }
}

// The item for a value: the nearest the tracker takes, except for Duty, whose
// value Plinka plays by its low bits (the range's top is their mask), which
// then are the exact item. moved is set when the item differs from the value.
int8_t itemOf(int kind, const ItemRange& range, int32_t value, bool& moved)
{
    moved = moved || value < range.low || value > range.high;
    if (kind == Duty)
        return static_cast<int8_t>(value & range.high);
    return static_cast<int8_t>(std::clamp(value, range.low, range.high));
}

std::string movedNote(int kind, bool fixedNotes, const ItemRange& range)
{
    if (fixedNotes)
        return "fixed notes outside the tracker's C-0 to B-7 (@" + std::to_string(kTrackerNoteOffset) + " to @" +
               std::to_string(kTrackerHighestNote + kTrackerNoteOffset) + ") moved to the nearest";
    const std::string outside = "values outside " + std::to_string(range.low) + ".." + std::to_string(range.high);
    if (kind == Duty)
        return outside + " written as the duty they play, the value modulo " + std::to_string(range.high + 1);
    return outside + " moved to the nearest";
}

// A number token of a text that compiled: digits after an optional "-" or "@".
int32_t numberOf(const std::string& token)
{
    const bool negative = token[0] == '-';
    int64_t value = 0;
    for (size_t i = token[0] == '-' || token[0] == '@' ? 1 : 0; i < token.size(); ++i)
        value = std::min<int64_t>(value * 10 + (token[i] - '0'), kEnvelopeValueMax);
    return static_cast<int32_t>(negative ? -value : value);
}

std::string counted(int32_t count, const char* thing)
{
    std::string text = std::to_string(count) + " " + thing;
    if (count != 1)
        text += 's';
    return text;
}

std::string listOf(const std::set<int32_t>& numbers)
{
    std::string list;
    for (const int32_t number : numbers)
        list += (list.empty() ? "" : ", ") + std::to_string(number);
    return list;
}

// The console's length for a sample's bytes: padded up to the next 16 * L + 1
// with 0x55, whose alternating deltas hold the level, or cut at 4081.
std::vector<uint8_t> playableBytes(std::vector<uint8_t> bytes)
{
    constexpr uint8_t kLevelHoldingByte = 0x55;
    if (bytes.size() > static_cast<size_t>(kMaxSampleBytes))
        bytes.resize(kMaxSampleBytes);
    size_t legal = 1;
    while (legal < bytes.size())
        legal += kSampleLengthUnit;
    bytes.resize(legal, kLevelHoldingByte);
    return bytes;
}

bool holds(const ::DpcmSample& sample, const std::vector<uint8_t>& bytes)
{
    return sample.length == static_cast<int32_t>(bytes.size()) && std::equal(bytes.begin(), bytes.end(), sample.bytes);
}

// Puts a sample in the bank under its name, or reuses an identical one of
// that name; a different one of that name makes it NAME-2, NAME-3, ...
// Answers the bank's index, or -1 when the bank is full.
int putSample(SampleBank& bank, const std::string& base, const std::vector<uint8_t>& bytes, std::string& used)
{
    for (int number = 1; number <= kMaxSamples + 1; ++number) {
        std::string suffix;
        if (number > 1)
            suffix = '-' + std::to_string(number);
        used.assign(base, 0, kSampleNameSize - 1 - suffix.size());
        used.append(suffix);
        const int found = bank.find(used);
        if (found >= 0 && holds(bank.samples[found], bytes))
            return found;
        if (found < 0)
            return bank.put(used, bytes.data(), static_cast<int32_t>(bytes.size())) ? -1 : bank.find(used);
    }
    return -1;
}

std::string keyEntryText(int32_t key, const std::string& name, const fti::DpcmKey& entry)
{
    std::string text = std::to_string(key) + "=" + name + ":" + std::to_string(entry.pitch & fti::kDpcmRateMask);
    if (entry.pitch & fti::kDpcmLoopBit)
        text += ":loop";
    if (!(entry.delta & fti::kDpcmDeltaUnsetBit))
        text += ":d" + std::to_string(entry.delta);
    return text;
}

// The DPCM part as a key map text over samples put into bank (a copy the
// caller keeps only on success).
bool importDpcm(const fti::Instrument& instrument, SampleBank& bank, std::string& keys, std::vector<std::string>& notes,
                std::string& error)
{
    const auto note = [&](const std::string& what) { notes.push_back("DPCM: " + what); };
    // A key names 1 + a sample's index, 1..255; the first sample of an index counts.
    constexpr size_t kSampleNumbers = 256;
    std::vector<const fti::DpcmSample*> numbered(kSampleNumbers, nullptr);
    for (const fti::DpcmSample& sample : instrument.dpcmSamples)
        if (sample.index >= 0 && sample.index < static_cast<int32_t>(kSampleNumbers) - 1 &&
            !numbered[static_cast<size_t>(sample.index + 1)])
            numbered[static_cast<size_t>(sample.index + 1)] = &sample;
    const auto sampleOf = [&](uint8_t number) { return numbered[number]; };
    // The tracker's later assignment of a note replaces the earlier one. What
    // is left out is said once per kind, however often a file repeats it.
    std::map<int32_t, fti::DpcmKey> byKey;
    std::set<int32_t> pastB7, missing, twice;
    for (const fti::DpcmKey& entry : instrument.dpcmKeys) {
        if (entry.sample == 0)
            continue;  // the tracker's "no sample"
        const int32_t key = entry.note + kTrackerNoteOffset;
        if (entry.note >= fti::kDpcmNotes)
            pastB7.insert(entry.note);
        else if (!sampleOf(entry.sample))
            missing.insert(key);
        else if (!byKey.emplace(key, entry).second) {
            twice.insert(key);
            byKey[key] = entry;
        }
    }
    if (!pastB7.empty())
        note(std::string(pastB7.size() == 1 ? "note " : "notes ") + listOf(pastB7) +
             " past the tracker's B-7 (95) left out");
    if (!missing.empty())
        note(missing.size() == 1 ? "key " + listOf(missing) + " plays a sample the file does not hold; left out"
                                 : "keys " + listOf(missing) + " play samples the file does not hold; left out");
    if (!twice.empty())
        note(std::string(twice.size() == 1 ? "key " : "keys ") + listOf(twice) +
             " assigned more than once; the last assignment kept");

    const int32_t before = bank.count;
    std::map<const fti::DpcmSample*, std::string> nameOf;
    for (const auto& [key, entry] : byKey) {
        const fti::DpcmSample* sample = sampleOf(entry.sample);
        if (nameOf.count(sample))
            continue;
        const std::vector<uint8_t> bytes = playableBytes(sample->bytes);
        const std::string base = sampleNameFrom(sample->name);
        if (sample->bytes.size() > static_cast<size_t>(kMaxSampleBytes))
            note("sample " + banktext::quoted(sample->name) + " has " + std::to_string(sample->bytes.size()) +
                 " bytes; cut to the console's 4081");
        else if (bytes.size() != sample->bytes.size())
            note("sample " + banktext::quoted(sample->name) + " padded from " + std::to_string(sample->bytes.size()) +
                 " to " + std::to_string(bytes.size()) + " bytes, a length the console plays");
        std::string used;
        if (putSample(bank, base, bytes, used) < 0) {
            error = "DPCM: the instrument's samples do not fit beside the bank's " + std::to_string(before) +
                    "; a bank holds 64";
            return false;
        }
        if (used != sample->name)
            note("sample " + banktext::quoted(sample->name) + " is " + used + " in the bank" +
                 (used == base ? "" : ", another sample having its name"));
        nameOf[sample] = used;
    }
    const size_t unused = instrument.dpcmSamples.size() - nameOf.size();
    if (unused > 0)
        note(counted(static_cast<int32_t>(std::min<size_t>(unused, std::numeric_limits<int32_t>::max())), "sample") +
             " that no key plays left out");

    keys.clear();
    int32_t kept = 0;
    for (const auto& [key, entry] : byKey) {
        const std::string text = keyEntryText(key, nameOf[sampleOf(entry.sample)], entry);
        if (keys.size() + 1 + text.size() > kMaxTextBytes) {
            note("the key map is longer than a program's keys text holds; cut to its first " + std::to_string(kept) +
                 " keys");
            break;
        }
        keys += (keys.empty() ? "" : " ") + text;
        ++kept;
    }
    if (kept < static_cast<int32_t>(byKey.size())) {
        // Samples added only for keys that were cut go again.
        const auto map = std::make_unique<KeyMap>();
        compileKeyMap(keys, bank, *map);
        for (int32_t index = bank.count - 1; index >= before; --index) {
            bool played = false;
            for (const KeyEntry& entry : map->keys)
                played = played || entry.sample == index;
            if (!played)
                bank.remove(bank.samples[index].name);
        }
    }
    return true;
}

constexpr char kPatchNote[] = "Patch: ";  // the start of each note about a VRC7 patch, as the editor labels it

// A VRC7 instrument's patch as a wave text. The custom bytes, which the file
// holds whatever the patch, are written for a built-in patch only when they
// are not a new instrument's, so that a plain "patch 3" comes back as it went.
std::string vrc7PatchText(const fti::Vrc7Part& vrc7)
{
    const auto patch = std::make_unique<WaveProgram>();
    patch->patch = std::clamp(vrc7.patch, 0, kVrc7MaxPatch);
    std::copy(vrc7.custom.begin(), vrc7.custom.end(), patch->custom);
    patch->hasCustom = patch->patch == 0 || vrc7.custom != fti::kVrc7DefaultCustom;
    return formatWave(*patch, Vrc7);
}

// The most frames a tracker waits before its modulator starts.
constexpr int32_t kTrackerMaxModDelay = 255;
constexpr char kWaveNote[] = "Wave: ";  // the start of each note about the wave text

// An FDS instrument's wave and modulator as a wave text. A table of codes 0
// only leaves the modulator's counter at 0, where it bends nothing: it comes
// in as no "mod" (and goes out again as such a table). The speed, depth and
// delay come in as they are, kept in Plinka's ranges.
std::string fdsWaveText(const fti::FdsPart& fds, std::vector<std::string>& notes)
{
    const auto wave = std::make_unique<WaveProgram>();
    wave->length = kFdsWaveSteps;
    wave->count = 1;
    for (int32_t i = 0; i < kFdsWaveSteps; ++i)
        wave->samples[i] = static_cast<uint8_t>(std::min<int32_t>(fds.wave[i], kFdsWaveTop));
    for (int32_t i = 0; i < kFdsModSteps; ++i) {
        wave->mod[i] = static_cast<uint8_t>(std::min<int32_t>(fds.mod[i], kFdsModCodeTop));
        wave->hasMod = wave->hasMod || wave->mod[i] != 0;
    }
    const auto setting = [&](const char* word, int32_t value, int32_t top) {
        if (value < 0 || value > top)
            notes.push_back(std::string(kWaveNote) + word + " " + std::to_string(value) + " outside 0.." +
                            std::to_string(top) + ", moved to the nearest");
        return std::clamp(value, 0, top);
    };
    wave->modRate = setting("mod-rate", fds.modSpeed, kFdsMaxModRate);
    wave->modDepth = setting("mod-depth", fds.modDepth, kFdsMaxModDepth);
    wave->modDelay = setting("mod-delay", fds.modDelay, kFdsMaxModDelay);
    return formatWave(*wave, Fds);
}

// An N163 instrument's waves as a wave text: as many whole waves as the text
// holds (and Plinka's 512 samples), the rest left out with a note. The
// position the tracker gave the wave in the chip's RAM has no place here:
// Plinka places each wave itself. That is what the tracker's auto wave
// position does too, so an instrument with it on loses nothing and gets no note.
std::string n163WaveText(const fti::N163Part& n163, std::vector<std::string>& notes)
{
    std::string error;
    const size_t size = static_cast<size_t>(std::max(n163.waveSize, 0));
    if (!fti::validN163Waves(n163.waveSize, n163.waveCount, error) ||
        n163.waves.size() < size * static_cast<size_t>(n163.waveCount)) {
        notes.push_back(std::string(kWaveNote) + (error.empty() ? "the waves are cut short" : error) +
                        "; a sine plays");
        return "";
    }
    const auto wave = std::make_unique<WaveProgram>();
    wave->length = n163.waveSize;
    std::string text;
    for (int32_t kept = std::min(n163.waveCount, kMaxWaveSamples / n163.waveSize); kept > 0; --kept) {
        wave->count = kept;
        const size_t samples = size * static_cast<size_t>(kept);
        for (size_t i = 0; i < samples; ++i)
            wave->samples[i] = std::min<uint8_t>(n163.waves[i], kN163SampleTop);
        text = formatWave(*wave, N163);
        if (text.size() <= kMaxTextBytes) {
            if (kept < n163.waveCount)
                notes.push_back(std::string(kWaveNote) + std::to_string(n163.waveCount - kept) + " of the " +
                                std::to_string(n163.waveCount) + " waves left out, more than a wave text holds; " +
                                "Duty steps past wave " + std::to_string(kept - 1) + " play the last kept");
            break;
        }
    }
    if (n163.wavePosition != 0 && !n163.autoWavePosition)
        notes.push_back(std::string(kWaveNote) + "the tracker's wave position " + std::to_string(n163.wavePosition) +
                        " left out; Plinka places each wave in the chip's RAM itself");
    return text;
}

// A program's chip text as the instrument's FDS, N163 or VRC7 part. A
// modulator the text leaves out goes out as a table of codes 0, which bends
// nothing; the delay is cut at the tracker's 255 frames with a note.
bool waveToInstrument(const Program& program, fti::Instrument& instrument, std::vector<std::string>& notes,
                      std::string& error)
{
    const auto wave = std::make_unique<WaveProgram>();
    const std::string text(program.waveText, strnlen(program.waveText, kEnvelopeTextSize));
    if (const char* message = compileWave(text, program.channelType, *wave)) {
        error = std::string(program.channelType == Vrc7 ? kPatchNote : kWaveNote) + message;
        return false;
    }
    if (program.channelType == Vrc7) {
        // Without custom bytes in the text the compiler holds a new instrument's.
        instrument.vrc7.patch = wave->patch;
        std::copy(std::begin(wave->custom), std::end(wave->custom), instrument.vrc7.custom.begin());
        if (wave->sustain)
            notes.push_back(std::string(kPatchNote) + "sustain on left out; a tracker instrument has no place for it");
        return true;
    }
    if (program.channelType == Fds) {
        fti::FdsPart& fds = instrument.fds;
        std::copy(wave->samples, wave->samples + kFdsWaveSteps, fds.wave);
        if (wave->hasMod)
            std::copy(std::begin(wave->mod), std::end(wave->mod), fds.mod);
        fds.modSpeed = wave->modRate;
        fds.modDepth = wave->modDepth;
        fds.modDelay = std::min(wave->modDelay, kTrackerMaxModDelay);
        if (wave->modDelay > kTrackerMaxModDelay)
            notes.push_back(std::string(kWaveNote) + "mod-delay " + std::to_string(wave->modDelay) + " written as " +
                            std::to_string(kTrackerMaxModDelay) + " frames, the longest a tracker waits");
        return true;
    }
    fti::N163Part& n163 = instrument.n163;
    n163.waveSize = wave->length;
    n163.waveCount = std::min(wave->count, fti::kN163MaxWaves);
    if (wave->count > fti::kN163MaxWaves)
        notes.push_back(std::string(kWaveNote) + std::to_string(wave->count) + " waves; a tracker holds " +
                        std::to_string(fti::kN163MaxWaves) + ", the rest are left out");
    n163.wavePosition = 0;  // Plinka places its waves itself: the first sample, where a lone wave starts
    n163.waves.assign(wave->samples, wave->samples + wave->length * n163.waveCount);
    return true;
}

}  // namespace

ChannelChoice chooseChannel(const fti::Instrument& instrument)
{
    if (instrument.type == fti::kTypeVrc6)
        return {firstChannelOf(fti::kTypeVrc6), "a VRC6 instrument"};
    if (instrument.type == fti::kTypeS5b)
        return {firstChannelOf(fti::kTypeS5b), "a 5B instrument"};
    if (instrument.type == fti::kTypeFds)
        return {firstChannelOf(fti::kTypeFds), "an FDS instrument"};
    if (instrument.type == fti::kTypeN163)
        return {firstChannelOf(fti::kTypeN163), "an N163 instrument"};
    if (instrument.type == fti::kTypeVrc7)
        return {firstChannelOf(fti::kTypeVrc7), "a VRC7 instrument"};
    if (!instrument.dpcmKeys.empty())
        return {Sample, "it has DPCM keys"};
    for (const std::string& word : wordsOf(instrument.name))
        for (const char* drum : kNoiseWords)
            if (word == drum)
                return {Noise, "its name says \"" + word + "\""};
    const fti::Sequence& arp = instrument.sequences[Arp];
    if (arp.enabled && arp.setting == fti::kArpFixed && !arp.items.empty() &&
        std::all_of(arp.items.begin(), arp.items.end(), [](int8_t note) { return note < kPulseLowestNote; }))
        return {Noise, "its fixed notes lie below the pulse's range, where only the noise sounds"};
    return {Pulse, "nothing in it says noise"};
}

ChannelChoice chooseChannel(const fti::Instrument& instrument, const std::array<int32_t, kChannelTypeCount>& played)
{
    const bool vrc6 = instrument.type == fti::kTypeVrc6;
    if (instrument.type != fti::kType2A03 && !vrc6)
        return chooseChannel(instrument);
    // The channels in the tracker's order, as it names them.
    constexpr std::pair<ChannelType, const char*> kPlayedOn[] = {
        {Pulse, "pulse"},          {Triangle, "triangle"}, {Noise, "noise"},         {Sample, "DPCM"},
        {Vrc6Pulse, "VRC6 pulse"}, {Vrc6Saw, "VRC6 saw"},  {Mmc5Pulse, "MMC5 pulse"}};
    std::vector<std::pair<int32_t, size_t>> counts;  // (times, index in kPlayedOn)
    for (size_t i = 0; i < std::size(kPlayedOn); ++i)
        if (const int32_t times = played[kPlayedOn[i].first]; times > 0)
            counts.emplace_back(times, i);
    if (counts.empty())
        return chooseChannel(instrument);
    std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::string reason = "played on ";
    for (size_t k = 0; k < counts.size(); ++k)
        reason += (k == 0 ? "" : ", ") + std::string(kPlayedOn[counts[k].second].second) + " " +
                  counted(counts[k].first, "time");
    const ChannelType most = kPlayedOn[counts.front().second].first;
    const int32_t channel = !vrc6 ? most : most == Vrc6Saw ? Vrc6Saw : Vrc6Pulse;
    return {channel, reason, true};
}

int32_t channelFor(const fti::Instrument& instrument, int32_t current)
{
    if (instrument.type != fti::kType2A03)
        return ftiTypeOf(current) == instrument.type ? current : firstChannelOf(instrument.type);
    if (!instrument.dpcmKeys.empty())
        return Sample;
    // A wave channel would play none of the instrument's duties, and a sine;
    // the VRC7 a patch of its own.
    return isChannelType(current) && !hasChipText(current) ? current : chooseChannel(instrument).channelType;
}

void toProgram(const fti::Instrument& instrument, int32_t channelType, Program& program,
               std::vector<std::string>& notes)
{
    if (instrument.name.size() >= kProgramNameSize)
        notes.push_back("name: " + banktext::quoted(instrument.name) + " cut to " +
                        std::to_string(kProgramNameSize - 1) + " bytes");
    copyTextField(program.name, instrument.name.c_str());
    program.channelType = channelType;
    program.multi = 0;
    const Target target{channelType, instrument.type};
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
        const fti::Sequence& sequence = instrument.sequences[kind];
        // The tracker's sample channel plays no instrument volume or
        // arpeggio: a kit sounds there as it does in the tracker.
        if (channelType == Sample && (kind == Volume || kind == Arp)) {
            const std::string text = defaultText(kind, ftiTypeOf(channelType));
            std::vector<std::string> ignored;
            if (sequence.enabled && sequenceText(sequence, kind, target, ignored) != text)
                notes.push_back(std::string(banktext::kEnvelopeKindName[kind]) +
                                ": left out, as the tracker's sample channel plays no instrument " +
                                (kind == Volume ? "volume" : "arpeggio"));
            copyTextField(program.envelopeText[kind], text.c_str());
            continue;
        }
        copyTextField(program.envelopeText[kind], sequenceText(sequence, kind, target, notes).c_str());
    }
    std::string wave;
    const int waveType = playsWave(channelType) ? channelKind(channelType).ftiType : 0;
    if (waveType != 0 && instrument.type == waveType)
        wave = instrument.type == fti::kTypeFds ? fdsWaveText(instrument.fds, notes)
                                                : n163WaveText(instrument.n163, notes);
    else if (waveType != 0)
        notes.push_back(std::string(kWaveNote) + "the instrument has no " + channelKind(channelType).label +
                        " wave; a sine plays");
    else if (instrument.type == fti::kTypeFds || instrument.type == fti::kTypeN163)
        notes.push_back(std::string(kWaveNote) + "left out; only an " +
                        (instrument.type == fti::kTypeFds ? "FDS" : "N163") + " program plays it");
    if (channelType == Vrc7 && instrument.type == fti::kTypeVrc7)
        wave = vrc7PatchText(instrument.vrc7);
    else if (channelType == Vrc7)
        notes.push_back(std::string(kPatchNote) + "the instrument has no VRC7 patch; patch 1 plays");
    else if (instrument.type == fti::kTypeVrc7)
        notes.push_back(std::string(kPatchNote) + "left out; only a VRC7 program plays it");
    copyTextField(program.waveText, wave.c_str());
    if (instrument.nameOnly && instrument.type == fti::kTypeVrc7)
        notes.push_back("the file stops after the name, as an early tracker would have saved it: a new VRC7 "
                        "instrument, its custom patch a new instrument's");
    else if (instrument.nameOnly)
        notes.push_back("the file stops after the name, as one tracker saves its 5B instruments: a new 5B "
                        "instrument, its sequences off");
    if (!instrument.dpcmKeys.empty() || !instrument.dpcmSamples.empty())
        notes.push_back("DPCM: " + counted(static_cast<int32_t>(instrument.dpcmKeys.size()), "key assignment") +
                        " and " + counted(static_cast<int32_t>(instrument.dpcmSamples.size()), "sample") +
                        " left out; only a Sample program plays them");
}

bool toProgram(const fti::Instrument& instrument, int32_t channelType, Program& program, SampleBank& samples,
               std::vector<std::string>& notes, std::string& error)
{
    if (channelType != Sample || instrument.type != fti::kType2A03 ||
        (instrument.dpcmKeys.empty() && instrument.dpcmSamples.empty())) {
        toProgram(instrument, channelType, program, notes);
        return true;
    }
    std::vector<std::string> dpcmNotes;
    std::string keys;
    const auto scratch = std::make_unique<SampleBank>(samples);
    if (!importDpcm(instrument, *scratch, keys, dpcmNotes, error))
        return false;
    fti::Instrument envelopesOnly = instrument;
    envelopesOnly.dpcmKeys.clear();
    envelopesOnly.dpcmSamples.clear();
    toProgram(envelopesOnly, channelType, program, notes);
    notes.insert(notes.end(), dpcmNotes.begin(), dpcmNotes.end());
    copyTextField(program.keyMapText, keys.c_str());
    samples = *scratch;
    return true;
}

bool fromProgram(const Program& program, fti::Instrument& instrument, std::vector<std::string>& notes,
                 std::string& error)
{
    instrument = {};
    instrument.type = ftiTypeOf(program.channelType);
    instrument.name = std::string(program.name, strnlen(program.name, kProgramNameSize));
    if (hasChipText(program.channelType) && !waveToInstrument(program, instrument, notes, error))
        return false;
    const bool fds = instrument.type == fti::kTypeFds;
    const bool vrc7 = instrument.type == fti::kTypeVrc7;
    const bool n163 = instrument.type == fti::kTypeN163;
    const auto scratch = std::make_unique<Envelope>();
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
        const std::string name = banktext::kEnvelopeKindName[kind];
        const std::string text(program.envelopeText[kind], strnlen(program.envelopeText[kind], kEnvelopeTextSize));
        if (const char* message = compileEnvelopeOfKind(text.c_str(), *scratch, kind)) {
            error = name + ": " + message;
            return false;
        }
        fti::Sequence& sequence = instrument.sequences[kind];
        if (scratch->isEmpty)
            continue;
        // The text compiled, so it is numbers, "@" notes and spaced markers.
        std::vector<int32_t> values;
        std::vector<bool> fixed;
        int32_t loop = fti::kNone;
        int32_t release = fti::kNone;
        size_t at = 0;
        while (at < text.size()) {
            if (text[at] == ' ') {
                ++at;
                continue;
            }
            size_t end = text.find(' ', at);
            if (end == std::string::npos)
                end = text.size();
            const std::string token = text.substr(at, end - at);
            at = end;
            if (token == "|") {
                loop = static_cast<int32_t>(values.size());
            } else if (token == "/") {
                release = static_cast<int32_t>(values.size()) - 1;
            } else {
                values.push_back(numberOf(token));
                fixed.push_back(token[0] == '@');
            }
        }
        // One value, the one the tracker plays without the sequence: it goes
        // out disabled, as an imported disabled sequence came in.
        if (values.size() == 1 && !fixed[0] && loop == fti::kNone && release == fti::kNone &&
            values[0] == defaultValue(kind, instrument.type))
            continue;
        if (vrc7) {
            notes.push_back(name + ": left out; a VRC7 instrument has no sequences");
            continue;
        }
        if (fds && kind >= fti::kFdsSequenceCount) {
            notes.push_back(name + ": left out; an FDS instrument has no " + (kind == HiPitch ? "hi-pitch" : "duty") +
                            " sequence");
            continue;
        }
        sequence.enabled = true;
        const int32_t held = release == fti::kNone ? static_cast<int32_t>(values.size()) : release + 1;
        if (loop != fti::kNone)
            loop = std::min(loop, held - 1);  // a marker that ends the held part loops on its last value
        const size_t fixedCount = static_cast<size_t>(std::count(fixed.begin(), fixed.end(), true));
        const bool allFixed = kind == Arp && fixedCount == values.size();
        if (kind == Arp && fixedCount != 0 && !allFixed)
            notes.push_back(name + ": fixed notes among steps from the note, which a tracker sequence cannot mix; "
                                   "they are written as step 0");
        sequence.setting = allFixed ? fti::kArpFixed : 0;
        // The saw's rates go out as the tracker's 16 volume steps when each is
        // one of the sixteen rates those make, else as a 64-step volume.
        const bool saw = kind == Volume && program.channelType == Vrc6Saw;
        const bool sixteenSteps =
            saw && std::all_of(values.begin(), values.end(), [](int32_t rate) {
                return rate >= 0 && rate <= kLoudestCleanSawRate && sawRateOfVolume(volumeOfSawRate(rate)) == rate;
            });
        if (saw && !sixteenSteps) {
            sequence.setting = fti::kVolume64Steps;
            notes.push_back(name + ": the saw's rates written as a 64-step volume, which trackers without it "
                                   "read as 16 steps");
        }
        const ItemRange range = trackerRange(kind, allFixed, program.channelType, saw && !sixteenSteps);
        const bool s5bDuty = kind == Duty && program.channelType == S5b;
        // An N163 Duty picks a wave; past the last it plays the last, as the file then says.
        const bool waveDuty = kind == Duty && n163;
        const int32_t lastWave = instrument.n163.waveCount - 1;
        bool moved = false;
        bool buzz = false;
        bool triangleBuzz = false;
        for (size_t i = 0; i < values.size(); ++i) {
            int32_t value = values[i];
            if (allFixed)
                value -= kTrackerNoteOffset;
            else if (fixed[i])
                value = 0;
            else if (sixteenSteps)
                value = volumeOfSawRate(value);
            if (waveDuty) {
                moved = moved || value < 0 || value > lastWave;
                sequence.items.push_back(static_cast<int8_t>(std::clamp(value, 0, lastWave)));
                continue;
            }
            if (s5bDuty) {
                // The channel plays the value modulo the mode count, as the bit field then says.
                moved = moved || value < range.low || value > range.high;
                const auto mode = static_cast<s5b_frame::Mode>(
                    ((value % s5b_frame::kModeCount) + s5b_frame::kModeCount) % s5b_frame::kModeCount);
                buzz = buzz || mode == s5b_frame::SawBuzz || mode == s5b_frame::TriangleBuzz;
                triangleBuzz = triangleBuzz || mode == s5b_frame::TriangleBuzz;
                sequence.items.push_back(s5bItemOfMode(mode));
                continue;
            }
            sequence.items.push_back(itemOf(kind, range, value, moved));
        }
        if (moved)
            notes.push_back(name + ": " +
                            (s5bDuty    ? "values outside 0..4 written as the mode they play, the value modulo 5"
                             : waveDuty ? "values outside 0.." + std::to_string(lastWave) +
                                              ", the program's waves, written as the nearest wave"
                                        : movedNote(kind, allFixed, range)));
        if (buzz)
            notes.push_back(name +
                            ": the buzz written as the tracker's envelope bit, whose shape and period its "
                            "patterns set" +
                            (triangleBuzz ? "; the triangle buzz comes back as the saw" : ""));
        if (sequence.items.size() > static_cast<size_t>(fti::kMaxUsedItems)) {
            notes.push_back(name + ": " + std::to_string(sequence.items.size()) +
                            " values; a tracker plays the first 252, the rest are left out");
            sequence.items.resize(fti::kMaxUsedItems);
            if (loop >= fti::kMaxUsedItems)
                loop = fti::kNone;
            if (release >= fti::kMaxUsedItems)
                release = fti::kNone;
        }
        sequence.loop = loop;
        sequence.release = release;
    }
    return true;
}

bool fromProgram(const Program& program, const SampleBank& samples, fti::Instrument& instrument,
                 std::vector<std::string>& notes, std::string& error)
{
    if (!fromProgram(program, instrument, notes, error))
        return false;
    if (program.channelType != Sample)
        return true;
    const auto map = std::make_unique<KeyMap>();
    const std::string text(program.keyMapText, strnlen(program.keyMapText, kEnvelopeTextSize));
    if (const char* message = compileKeyMap(text, samples, *map)) {
        error = std::string("Keys: ") + message;
        return false;
    }
    std::vector<int32_t> outside;
    // Samples are numbered in the order the keys first name them, so that a
    // file this writes comes back byte for byte.
    std::vector<int> fileIndexOf(kMaxSamples, -1);
    for (int32_t key = 0; key < kKeyCount; ++key) {
        const KeyEntry& entry = map->keys[key];
        if (!entry.sounds() || entry.sample >= samples.count)
            continue;
        const int32_t note = key - kTrackerNoteOffset;
        if (note < 0 || note >= fti::kDpcmNotes) {
            outside.push_back(key);
            continue;
        }
        int& index = fileIndexOf[static_cast<size_t>(entry.sample)];
        if (index < 0) {
            index = static_cast<int>(instrument.dpcmSamples.size());
            const DpcmSample& sample = samples.samples[entry.sample];
            fti::DpcmSample written;
            written.index = index;
            written.name = std::string(sample.name, strnlen(sample.name, kSampleNameSize));
            written.bytes.assign(sample.bytes, sample.bytes + std::clamp(sample.length, 0, kMaxSampleBytes));
            instrument.dpcmSamples.push_back(std::move(written));
        }
        fti::DpcmKey written;
        written.note = static_cast<uint8_t>(note);
        written.sample = static_cast<uint8_t>(index + 1);
        written.pitch = static_cast<uint8_t>((entry.rate & fti::kDpcmRateMask) | (entry.loop ? fti::kDpcmLoopBit : 0));
        written.delta = entry.startLevel >= 0 ? static_cast<uint8_t>(entry.startLevel) : fti::kDpcmNoDelta;
        instrument.dpcmKeys.push_back(written);
    }
    if (!outside.empty()) {
        std::string list;
        for (const int32_t key : outside)
            list += (list.empty() ? "" : ", ") + std::to_string(key);
        notes.push_back("Keys: " + std::string(outside.size() == 1 ? "key " : "keys ") + list +
                        " outside the tracker's C-0 to B-7 (keys " + std::to_string(kTrackerNoteOffset) + " to " +
                        std::to_string(kTrackerNoteOffset + fti::kDpcmNotes - 1) + ") left out");
    }
    return true;
}

}  // namespace fticonversion
