// One chip frame of one voice: the voice takes the next step of each of its
// five envelopes and writes its chip's registers for the frame, then the chip
// ends the frame. The only place where the engine drives a chip, through one
// frame writer per channel kind (ApuFrame.h, SampleFrame.h, Vrc6Frame.h,
// S5bFrame.h, Mmc5Frame.h, FdsFrame.h, N163Frame.h, Vrc7Frame.h).
#pragma once

#include "ApuFrame.h"
#include "BankSnapshot.h"
#include "ChannelControllers.h"
#include "ChannelKinds.h"
#include "EnvelopeCompiler.h"
#include "FrameInputs.h"
#include "FdsFrame.h"
#include "Mmc5Frame.h"
#include "N163Frame.h"
#include "NotePeriod.h"
#include "S5bFrame.h"
#include "SampleFrame.h"
#include "Voice.h"
#include "Vrc6Frame.h"
#include "Vrc7Frame.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

// Advances a voice's five envelopes one step, in the order Volume, Arp, Duty,
// Pitch, Hi-Pitch, and answers the frame's chip volume 0..15. A Volume
// envelope that has ended on 0, or a release that has played out (or that an
// edit has taken away), frees the voice here.
int32_t stepEnvelopes(Voice& voice, const ProgramSound& program);

constexpr double kDefaultTempo = 120.0;  // beats a minute where the host gives none
// At most this many envelope steps in one frame, however fast the song.
constexpr int32_t kMaxTempoStepsPerFrame = 16;
// The same for a program whose envelopes step tempoSteps times a quarter
// note of the song: each frame takes the steps that have fallen due by its
// nearest frame (the note's first frame takes one), none or several; a
// frame that takes none sounds as the last step left it.
int32_t stepEnvelopesInTempo(Voice& voice, const ProgramSound& program, double tempo, int32_t frameRate);

// The frame writer of the voice's channel kind. A switch over the type with
// no default, so that a new kind without a writer is a compiler warning; a
// type no row has writes as a channel of no chip.
template <class Chip> void writeFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    if (!isChannelType(voice.channelType)) {
        writeNoChannelFrame(voice, chip, in);
        return;
    }
    switch (static_cast<ChannelType>(voice.channelType)) {
    case Pulse:
        writePulseFrame(voice, chip, in);
        return;
    case Triangle:
        writeTriangleFrame(voice, chip, in);
        return;
    case Noise:
        writeNoiseFrame(voice, chip, in);
        return;
    case Sample:
        writeSampleFrame(voice, chip, in);
        return;
    case Vrc6Pulse:
        writeVrc6PulseFrame(voice, chip, in);
        return;
    case Vrc6Saw:
        writeVrc6SawFrame(voice, chip, in);
        return;
    case S5b:
        writeS5bFrame(voice, chip, in);
        return;
    case Mmc5Pulse:
        writeMmc5PulseFrame(voice, chip, in);
        return;
    case Fds:
        writeFdsFrame(voice, chip, in);
        return;
    case N163:
        writeN163Frame(voice, chip, in);
        return;
    case Vrc7:
        writeVrc7Frame(voice, chip, in);
        return;
    }
}

// Steps a busy voice one frame and renders that frame into its chip's buffer;
// does nothing for a free voice. The chip is a VoiceChip, or anything with its
// write_time, chip.write_register(), expansion<C>().write_register(),
// holds<C>(), expansion_enables,
// load_sample(), sample_playing() and end_frame() (the tests record writes).
// The channel's controllers scale the volume and add the wheel's vibrato.
template <class Chip>
void stepVoiceFrame(Voice& voice, Chip& chip, const ProgramSound& program, float channelBend, int32_t clockRate,
                    const ChannelControllers& controllers = ChannelControllers{}, int32_t frameRate = kNtscFrameRate,
                    double tempo = kDefaultTempo)
{
    if (voice.isFree())
        return;
    int32_t vol = scaleChipVolume(program.tempoSteps > 0 ? stepEnvelopesInTempo(voice, program, tempo, frameRate)
                                                         : stepEnvelopes(voice, program),
                                  controllers);
    // A note's own volume scales its chip volume as controller 7 does, to
    // the nearest step; the chip's top is as loud as it goes.
    if (voice.expressionGain < 1.0f)
        vol = static_cast<int32_t>(std::lround(static_cast<double>(vol) * voice.expressionGain));
    float bend = channelBend + voice.expressionBend + wheelVibrato(controllers, voice.vibratoFrame, frameRate);
    if (voice.glideFrom != 0.0f) {
        bend += voice.glideOffset(frameRate);
        ++voice.glideFrames;
        if (voice.glideOffset(frameRate) == 0.0f)
            voice.glideFrom = 0.0f;  // arrived
    }
    if (frameRate > 0)
        voice.vibratoFrame = (voice.vibratoFrame + 1) % frameRate;  // whole cycles of 6 Hz per second
    // A fixed-note Arp step sounds its note in place of the key's.
    int32_t note = voice.note;
    int32_t arp = voice.arpValue;
    if (isFixedNote(arp)) {
        note = arp - kFixedNoteBase;
        arp = 0;
    }
    const int32_t duty = shiftDuty(voice.dutyValue, voice.channelType,
                                   voice.expressionTimbre >= 0 ? voice.expressionTimbre : controllers.timbre);
    writeFrame(voice, chip, FrameInputs{program, controllers, vol, note, arp, bend, clockRate, duty});
    voice.lastChip = isChannelType(voice.channelType) ? channelKind(voice.channelType).chip : SoundChip::Apu;
    voice.noteFrames = std::min(voice.noteFrames + 1, kMaxNoteFrames);
    chip.end_frame();
}
