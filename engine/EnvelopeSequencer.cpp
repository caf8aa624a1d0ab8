#include "EnvelopeSequencer.h"

#include "ChannelKinds.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int32_t kMaxChipVolume = 15;

// Takes the step at the envelope's position. While the key is held (or the
// envelope has no release part) it wraps to its loop at the end of the held
// part; a finished release part holds its last step, or gives 0 for the
// relative kinds so that they stop moving the pitch.
int32_t nextStep(const EnvelopeSteps& envelope, int32_t& position, bool releasing, bool holdLast)
{
    if (releasing && envelope.releaseIndex > 0) {
        position = std::max(position, envelope.releaseIndex);
        if (position >= envelope.length) {
            position = envelope.length;
            return holdLast ? envelope.values[envelope.length - 1] : 0;
        }
        return envelope.values[position++];
    }
    if (position >= envelope.heldLength() || position < 0)
        position = envelope.loopIndex;
    return envelope.values[position++];
}

// Every release part has played its last step. True when the program has
// none: an edit took them away while they played, and the note ends as one
// without release parts ends when its key goes up.
bool releaseFinished(const Voice& voice, const ProgramSound& program)
{
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
        const EnvelopeSteps& envelope = program.envelope[kind];
        if (envelope.releaseIndex > 0 && voice.position[kind] < envelope.length)
            return false;
    }
    return true;
}

int32_t addPitchOffset(int32_t offset, int32_t step)
{
    const int64_t sum = static_cast<int64_t>(offset) + step;
    return static_cast<int32_t>(std::clamp<int64_t>(sum, -kPitchOffsetLimit, kPitchOffsetLimit));
}

// Each step is rounded to single precision on its own, exactly as the
// instrument has always tuned; the sums are exact in double first.
float pitchExponent(float bend, int32_t note, int32_t arpValue)
{
    const auto x = static_cast<float>(static_cast<double>(bend) + static_cast<double>((note - 69) + arpValue));
    return static_cast<float>(static_cast<double>(x) / 12.0);
}

int32_t periodFromPower(double power, const PeriodForm& form, int32_t pitchOffset, int32_t clockRate)
{
    if (std::isnan(power) || form.divider == 0)
        return -1;  // a NaN bend, or a channel whose period is not the note's
    // A power beyond single precision leaves a quotient far below 1, whose
    // floor, 0, it shares with every power above about 2^8: the offset alone
    // decides then. (Rounding it to float would make it infinite.)
    const double r = power > std::numeric_limits<float>::max() ? power : static_cast<double>(static_cast<float>(power));
    const auto divisions = static_cast<double>(form.divider);
    const int32_t maxPeriod = (1 << form.bits) - 1;
    const double q = static_cast<double>(clockRate) / (r * 440.0 * divisions);
    if (!(q < 2147483648.0))
        return -1;  // no offset brings it back into range; and the conversion stays defined
    const double whole = form.nearest ? std::floor(q + 0.5) : q;
    const int64_t period = static_cast<int64_t>(whole) + pitchOffset - form.cycleOffset;
    return period >= 1 - form.cycleOffset && period <= maxPeriod ? static_cast<int32_t>(period) : -1;
}

PeriodForm formOf(int32_t channelType)
{
    if (!isChannelType(channelType))
        return {};
    const ChannelKind& kind = channelKind(channelType);
    return {kind.periodDivider, kind.cycleOffset, kind.periodBits};
}

}  // namespace

int32_t periodFromNote(int32_t channelType, float bend, int32_t note, int32_t arpValue, int32_t pitchOffset,
                       int32_t clockRate)
{
    PitchPower none;  // remembers nothing yet: the power is worked out
    return periodFromNote(channelType, bend, note, arpValue, pitchOffset, clockRate, none);
}

int32_t periodFromNote(int32_t channelType, float bend, int32_t note, int32_t arpValue, int32_t pitchOffset,
                       int32_t clockRate, PitchPower& memo)
{
    return periodFromNote(formOf(channelType), bend, note, arpValue, pitchOffset, clockRate, memo);
}

int32_t periodFromNote(const PeriodForm& form, float bend, int32_t note, int32_t arpValue, int32_t pitchOffset,
                       int32_t clockRate, PitchPower& memo)
{
    // Equal exponents have equal powers (0 and -0 included); a NaN is never
    // equal, and its power is worked out again, as NaN.
    const float y = pitchExponent(bend, note, arpValue);
    if (!(y == memo.exponent)) {
        memo.exponent = y;
        memo.power = std::pow(2.0, static_cast<double>(y));
    }
    return periodFromPower(memo.power, form, pitchOffset, clockRate);
}

int64_t frequencyFromNote(double scale, float bend, int32_t note, int32_t arpValue, int32_t clockRate,
                          PitchPower& memo)
{
    const float y = pitchExponent(bend, note, arpValue);
    if (!(y == memo.exponent)) {
        memo.exponent = y;
        memo.power = std::pow(2.0, static_cast<double>(y));
    }
    if (std::isnan(memo.power) || clockRate <= 0)
        return -1;
    const double r = std::floor(memo.power * 440.0 * scale / static_cast<double>(clockRate) + 0.5);
    return r < 2147483648.0 ? static_cast<int64_t>(r) : -1;
}

int32_t noiseIndexFromNote(int32_t note, int32_t arpValue, int32_t pitchOffset)
{
    return (11 - note - arpValue - pitchOffset) & 15;
}

int32_t stepEnvelopes(Voice& voice, const ProgramSound& program)
{
    // A release that has played out ends the note; this frame still renders,
    // silently.
    const bool releasing = voice.releasing;
    if (releasing && releaseFinished(voice, program)) {
        voice.note = -1;
        voice.releasing = false;
        return 0;
    }
    // Volume first: a held part without loop that has played its last step,
    // a 0, has ended the note. This frame still renders (silently).
    const EnvelopeSteps& volume = program.envelope[Volume];
    const bool volumeReleasing = releasing && volume.releaseIndex > 0;
    if (!volumeReleasing && voice.position[Volume] >= volume.heldLength() && voice.volumeValue == 0 && !volume.hasLoop)
        voice.note = -1;
    voice.volumeValue = nextStep(volume, voice.position[Volume], releasing, true);
    voice.arpValue = nextStep(program.envelope[Arp], voice.position[Arp], releasing, true);
    voice.dutyValue = nextStep(program.envelope[Duty], voice.position[Duty], releasing, true);
    voice.pitchOffset =
        addPitchOffset(voice.pitchOffset, nextStep(program.envelope[Pitch], voice.position[Pitch], releasing, false));
    voice.pitchOffset = addPitchOffset(
        voice.pitchOffset, 16 * nextStep(program.envelope[HiPitch], voice.position[HiPitch], releasing, false));
    return std::clamp(voice.velocity * voice.volumeValue / 100, 0, kMaxChipVolume);
}

int32_t stepEnvelopesInTempo(Voice& voice, const ProgramSound& program, double tempo, int32_t frameRate)
{
    const double perFrame = frameRate > 0 ? program.tempoSteps * tempo / (60.0 * frameRate) : 0.0;
    // Half a frame's worth ahead: each step falls on its nearest frame.
    if (voice.tempoPhase < 0.0)
        voice.tempoPhase = 1.0 + perFrame / 2.0;
    const auto due = static_cast<int32_t>(std::min(voice.tempoPhase, static_cast<double>(kMaxTempoStepsPerFrame)));
    voice.tempoPhase = std::min(voice.tempoPhase - due + perFrame, static_cast<double>(kMaxTempoStepsPerFrame));
    int32_t volume = std::clamp(voice.velocity * voice.volumeValue / 100, 0, kMaxChipVolume);
    for (int32_t step = 0; step < due && !voice.isFree(); ++step)
        volume = stepEnvelopes(voice, program);
    return volume;
}
