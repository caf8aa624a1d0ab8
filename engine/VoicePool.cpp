#include "VoicePool.h"

#include "ConsolePort.h"
#include "EngineEvent.h"
#include "EnvelopeCompiler.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace {

constexpr int32_t kMultiNote = 60;  // every key of a Multi program sounds this note
constexpr int32_t kMaxVelocity = 100;

// The program that sounds a channel's key, a Multi program's member for it:
// twelve programs laid out over the octave, wrapping past 127.
int32_t programOfKey(const VoiceContext& context, int32_t channel, int32_t key)
{
    const int32_t program = context.channelProgram[channel];
    return context.bank.programs[program].multi == 1 ? (program + key % 12) % kProgramCount : program;
}

// Whether a Sample voice plays a one-shot sample: the entry its channel
// plays, or, before its first frame, the one its key and Arp step name.
bool playsOneShot(const ProgramSound& program, const Voice& voice)
{
    if (voice.channelType != Sample || program.channelType != Sample || program.keyMap.entryCount == 0)
        return false;
    KeyEntry entry = voice.sampleEntry;
    if (!voice.sampleStarted)
        entry = program.keyMap.at(isFixedNote(voice.arpValue) ? voice.arpValue - kFixedNoteBase
                                                               : voice.note + voice.arpValue);
    return entry.sounds() && !entry.loop;
}

// The note a key sounds: every key of a Multi program sounds the same, but
// for a Sample member, whose key map gives each key its own sample: it looks
// up the key pressed, so a kit's keys each find their entry.
int32_t noteOfKey(const VoiceContext& context, int32_t channel, int32_t key)
{
    if (context.bank.programs[context.channelProgram[channel]].multi != 1)
        return key;
    return context.bank.programs[programOfKey(context, channel, key)].channelType == Sample ? key : kMultiNote;
}

}  // namespace

void VoicePool::startVoice(const VoiceContext& context, int index, int32_t key, int32_t channel, int32_t velocity)
{
    const int32_t program = programOfKey(context, channel, key);
    const int32_t note = noteOfKey(context, channel, key);
    velocity = std::min(velocity, kMaxVelocity);

    Voice& voice = voices[index];
    voice.channel = channel;
    voice.key = key;
    voice.note = note;
    voice.channelType = context.bank.programs[program].channelType;
    voice.releasing = false;  // whatever it was doing, it now sounds a held key
    voice.sustained = false;
    voice.playingOut = false;
    voice.expressionBend = 0.0f;  // another note: the last one's expressions were its own
    voice.expressionGain = 1.0f;
    voice.expressionTimbre = -1;
    if (velocity < 0)
        return;  // legato: envelopes, positions, velocity and offsets carry on

    voice.program = program;
    voice.velocity = velocity;
    voice.startOrder = ++startCount;
    for (int32_t& position : voice.position)
        position = 0;
    voice.pitchOffset = 0;
    voice.arpValue = 0;
    voice.volumeValue = 0;
    voice.dutyValue = 0;
    voice.lastPeriodHigh = -1;
    voice.vibratoFrame = 0;
    voice.noteFrames = 0;
    voice.tempoPhase = -1.0;
    voice.sampleStarted = false;  // a new note restarts its sample, even the same one
}

bool VoicePool::keyIsSilent(const VoiceContext& context, int32_t channel, int32_t key) const
{
    const ProgramSound& sound = context.bank.programs[programOfKey(context, channel, key)];
    const int32_t note = noteOfKey(context, channel, key);
    // An Arp may move the key, or fix it (@36 on every key, as drums do),
    // onto one that sounds: its frames decide.
    return sound.channelType == Sample && sound.keyMap.entryCount > 0 && !sound.keyMap.at(note).sounds() &&
           !sound.arpMovesKey;
}

void VoicePool::noteOn(const VoiceContext& context, int32_t channel, int32_t key, int32_t velocity, int32_t noteId)
{
    // Not even held: mono legato must never go back to a key that sounds nothing.
    if (keyIsSilent(context, channel, key))
        return;
    const ProgramSound& sound = context.bank.programs[programOfKey(context, channel, key)];
    const int32_t heldBefore = lastHeldKey(channel);
    keyDown[key] = 1;
    keyNoteId[key] = noteId;
    heldSince[channel][key] = ++pressCount;
    pedalHeld[channel][key] = false;
    heldVelocity[channel][key] = static_cast<uint8_t>(std::clamp(velocity, 1, 127));
    int chosen = -1;
    float from = std::numeric_limits<float>::quiet_NaN();  // the channel's last note
    bool legato = false;
    if (sound.mono != MonoOff) {
        // The channel's one note is taken over: from where it sounds, its
        // envelopes going on (legato) only while another key is held.
        if (const int current = monoVoiceOn(channel); current >= 0) {
            Voice& voice = voices[current];
            from = voice.pitch(context.frameRate);
            const SlotRange slots = consoleSlotsOf(sound.channelType);
            if (context.console && (voice.consoleSlot < slots.first || voice.consoleSlot > slots.last)) {
                letGo(context, voice);  // another chip's channel: the new note takes its own
            } else {
                chosen = current;
                legato = sound.mono == MonoLegato && heldBefore >= 0 && heldBefore != key && !voice.releasing &&
                         !voice.playingOut;
            }
        }
    }
    if (context.console && chosen < 0) {
        const int slot = chooseConsoleSlot(context, channel, key);
        if (slot < 0)
            return;
        chosen = consoleVoiceFor(slot);
        voices[chosen].consoleSlot = slot;
    } else if (chosen < 0 && context.polyphony == 1) {
        chosen = 0;  // mono: voice 0 restarts, whatever it was doing
    } else if (chosen < 0) {
        for (int i = 0; i < context.polyphony && chosen < 0; ++i)
            if (voices[i].channel == channel && voices[i].note == key)
                chosen = i;
        for (int i = 0; i < context.polyphony && chosen < 0; ++i)
            if (voices[i].isFree())
                chosen = i;
        if (chosen < 0)
            chosen = longestLetGo(context.polyphony, &Voice::releasing);
        if (chosen < 0)
            chosen = longestLetGo(context.polyphony, &Voice::playingOut);
        if (chosen < 0)
            chosen = longestLetGo(context.polyphony, &Voice::sustained);
    }
    if (chosen < 0)
        return;
    startVoice(context, chosen, key, channel, legato ? -1 : velocity);
    voices[chosen].noteId = noteId;
    voices[chosen].mono = sound.mono != MonoOff;
    beginGlide(context, voices[chosen], from);
}

int VoicePool::monoVoiceOn(int32_t channel) const
{
    for (int i = 0; i < kVoiceCount; ++i)
        if (!voices[i].isFree() && voices[i].mono && voices[i].channel == channel)
            return i;
    return -1;
}

int32_t VoicePool::lastHeldKey(int32_t channel) const
{
    int32_t last = -1;
    for (int32_t key = 0; key < 128; ++key)
        if (heldSince[channel][key] != 0 && (last < 0 || heldSince[channel][key] > heldSince[channel][last]))
            last = key;
    return last;
}

void VoicePool::forgetKey(const VoiceContext& context, int32_t channel, int32_t key)
{
    if (context.controllers && context.controllers[channel].pedalDown && heldSince[channel][key] != 0) {
        pedalHeld[channel][key] = true;
        return;
    }
    heldSince[channel][key] = 0;
    pedalHeld[channel][key] = false;
}

void VoicePool::returnToHeldKey(const VoiceContext& context, int index)
{
    Voice& voice = voices[index];
    const int32_t channel = voice.channel;
    const int32_t key = lastHeldKey(channel);
    if (key < 0) {
        letGo(context, voice);
        return;
    }
    const float from = voice.pitch(context.frameRate);
    const bool legato = context.bank.programs[programOfKey(context, channel, key)].mono == MonoLegato;
    startVoice(context, index, key, channel, legato ? -1 : heldVelocity[channel][key]);
    voice.noteId = keyNoteId[key];
    voice.mono = true;
    if (pedalHeld[channel][key]) {
        voice.sustained = true;  // its key is up: the pedal holds it
        voice.releaseOrder = ++releaseCount;
    }
    beginGlide(context, voice, from);
}

void VoicePool::beginGlide(const VoiceContext& context, Voice& voice, float from)
{
    const int32_t channel = voice.channel;
    if (std::isnan(from) && hasLastPitch[channel])
        from = lastPitch[channel];
    const int32_t programGlide = context.bank.programs[voice.program].glide;
    const int32_t ms = context.controllers ? context.controllers[channel].glideMs(programGlide) : programGlide;
    voice.glideMs = ms;
    voice.glideFrames = 0;
    voice.glideFrom = ms > 0 && !std::isnan(from) ? from - static_cast<float>(voice.note) : 0.0f;
    lastPitch[channel] = static_cast<float>(voice.note);
    hasLastPitch[channel] = true;
}

int VoicePool::chooseConsoleSlot(const VoiceContext& context, int32_t channel, int32_t key) const
{
    const int32_t type = context.bank.programs[programOfKey(context, channel, key)].channelType;
    SlotRange slots = consoleSlotsOf(type);
    if (type == N163)
        slots.last = std::min(slots.last, N163OneSlot + std::clamp(context.n163Channels, 1, 8) - 1);
    int chosen = -1;
    for (int i = slots.first; i <= slots.last && chosen < 0; ++i)
        if (const int v = voiceOnSlot(i); v >= 0 && voices[v].channel == channel && voices[v].key == key)
            chosen = i;
    for (int i = slots.first; i <= slots.last && chosen < 0; ++i)
        if (voiceOnSlot(i) < 0)
            chosen = i;
    // As a tracker channel does: the new note takes a busy channel over.
    if (chosen < 0)
        for (int i = slots.first; i <= slots.last; ++i)
            if (chosen < 0 || voices[voiceOnSlot(i)].startOrder < voices[voiceOnSlot(chosen)].startOrder)
                chosen = i;
    return chosen;
}

int VoicePool::voiceOnSlot(int slot) const
{
    for (int i = 0; i < kVoiceCount; ++i)
        if (!voices[i].isFree() && voices[i].consoleSlot == slot)
            return i;
    return -1;
}

int VoicePool::consoleVoiceFor(int slot) const
{
    if (const int playing = voiceOnSlot(slot); playing >= 0)
        return playing;
    // The slot's own number while there is such a voice: with no more slots
    // than voices, each slot keeps one voice.
    if (slot < kVoiceCount && voices[slot].isFree())
        return slot;
    int chosen = -1;
    for (int i = 0; i < kVoiceCount && chosen < 0; ++i)
        if (voices[i].isFree())
            chosen = i;
    if (chosen < 0)
        for (int i = 0; i < kVoiceCount; ++i)
            if (chosen < 0 || voices[i].startOrder < voices[chosen].startOrder)
                chosen = i;
    return chosen;
}

int VoicePool::longestLetGo(int32_t polyphony, bool Voice::*state) const
{
    int chosen = -1;
    for (int i = 0; i < polyphony; ++i)
        if (voices[i].*state && (chosen < 0 || voices[i].releaseOrder < voices[chosen].releaseOrder))
            chosen = i;
    return chosen;
}

void VoicePool::releaseVoice(const VoiceContext& context, Voice& voice)
{
    if (voice.isFree() || voice.releasing || voice.playingOut)
        return;
    voice.sustained = false;
    const ProgramSound& program = context.bank.programs[voice.program];
    bool hasRelease = false;
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
        if (program.envelope[kind].releaseIndex > 0) {
            voice.position[kind] = program.envelope[kind].releaseIndex;  // taken at the next frame
            hasRelease = true;
        }
    }
    if (!hasRelease) {
        // As a drum machine's pad: a one-shot sample plays to its end however
        // short the key's press; its frame ends the note there.
        // A VRC7 note's release is the chip's own: the voice plays it out.
        if (playsOneShot(program, voice) || (voice.channelType == Vrc7 && program.channelType == Vrc7)) {
            voice.playingOut = true;
            voice.releaseOrder = ++releaseCount;
            return;
        }
        voice.note = -1;
        return;
    }
    voice.releasing = true;
    voice.releaseOrder = ++releaseCount;
}

void VoicePool::releaseKey(const VoiceContext& context, int32_t key, int32_t channel, int skip)
{
    for (int i = 0; i < kVoiceCount; ++i)
        if (i != skip && voices[i].channel == channel && voices[i].key == key)
            letGo(context, voices[i]);
}

void VoicePool::letGo(const VoiceContext& context, Voice& voice)
{
    const bool pedal = context.controllers && context.controllers[voice.channel].pedalDown;
    if (pedal && !voice.isFree() && !voice.releasing) {
        if (!voice.sustained)
            voice.releaseOrder = ++releaseCount;
        voice.sustained = true;
    } else {
        releaseVoice(context, voice);
    }
}

void VoicePool::liftMatchingKeys(const NoteMatch& match)
{
    for (int32_t key = 0; key < 128; ++key)
        if (keyDown[key] && match.matches(match.channel, key, keyNoteId[key]))
            keyDown[key] = 0;
    for (int32_t channel = 0; channel < kMidiChannelCount; ++channel)
        for (int32_t key = 0; key < 128; ++key)
            if (heldSince[channel][key] != 0 && match.matches(channel, key, keyNoteId[key])) {
                heldSince[channel][key] = 0;
                pedalHeld[channel][key] = false;
            }
}

int32_t VoicePool::highestKeyDown() const
{
    for (int32_t key = 127; key >= 0; --key)
        if (keyDown[key])
            return key;
    return -1;
}

void VoicePool::noteOffMatching(const VoiceContext& context, const NoteMatch& match)
{
    if (match.isOneKey()) {
        noteOff(context, match.channel, match.key);
        return;
    }
    liftMatchingKeys(match);
    const bool mono = !context.console && context.polyphony == 1;
    for (int i = 0; i < kVoiceCount; ++i) {
        Voice& voice = voices[i];
        if (voice.isFree() || voice.releasing || !match.matches(voice.channel, voice.key, voice.noteId))
            continue;
        keyDown[voice.key] = 0;
        if (voice.mono) {
            heldSince[voice.channel][voice.key] = 0;
            returnToHeldKey(context, i);
            continue;
        }
        // Mono legato: voice 0 goes back to the highest key still held, as a
        // note-off of its key would have it.
        const int32_t held = mono && i == 0 ? highestKeyDown() : -1;
        if (held >= 0) {
            const float from = voice.pitch(context.frameRate);
            startVoice(context, 0, held, voice.channel, -1);
            voice.noteId = keyNoteId[held];
            beginGlide(context, voice, from);
        } else {
            letGo(context, voice);
        }
    }
}

void VoicePool::expressMatching(const NoteMatch& match, int32_t kind, float value)
{
    for (Voice& voice : voices) {
        if (voice.isFree() || !match.matches(voice.channel, voice.key, voice.noteId))
            continue;
        if (kind == ExpressionTuning)
            voice.expressionBend = value;
        else if (kind == ExpressionVolume)
            voice.expressionGain = value;
        else if (kind == ExpressionBrightness)
            voice.expressionTimbre = static_cast<int32_t>(std::lround(value * kControllerMax));
    }
}

void VoicePool::chokeMatching(const NoteMatch& match)
{
    if (match.channel >= 0 && match.noteId < 0) {
        chokeKey(match.channel, match.key);
        return;
    }
    // A choked note never comes back as the mono voice's held key.
    liftMatchingKeys(match);
    for (Voice& voice : voices)
        if (!voice.isFree() && match.matches(voice.channel, voice.key, voice.noteId)) {
            keyDown[voice.key] = 0;
            voice.note = -1;
            voice.releasing = false;
            voice.sustained = false;
        }
}

void VoicePool::pedalUp(const VoiceContext& context, int32_t channel)
{
    // The keys only the pedal held are up now; a mono note whose key was
    // one of them goes back to a key still down.
    for (int32_t key = 0; key < 128; ++key)
        if (pedalHeld[channel][key]) {
            pedalHeld[channel][key] = false;
            heldSince[channel][key] = 0;
        }
    if (const int mono = monoVoiceOn(channel); mono >= 0 && voices[mono].sustained && lastHeldKey(channel) >= 0)
        returnToHeldKey(context, mono);
    for (Voice& voice : voices)
        if (voice.channel == channel && voice.sustained)
            releaseVoice(context, voice);
}

void VoicePool::cutChannel(int32_t channel)
{
    std::fill(std::begin(heldSince[channel]), std::end(heldSince[channel]), 0);
    std::fill(std::begin(pedalHeld[channel]), std::end(pedalHeld[channel]), false);
    for (Voice& voice : voices)
        if (voice.channel == channel) {
            voice.note = -1;
            voice.releasing = false;
            voice.sustained = false;
            voice.playingOut = false;
        }
}

void VoicePool::chokeKey(int32_t channel, int32_t key)
{
    if (key < 0) {
        cutChannel(channel);
        return;
    }
    // A choked note never comes back as the mono voice's held key.
    keyDown[key] = 0;
    heldSince[channel][key] = 0;
    pedalHeld[channel][key] = false;
    for (Voice& voice : voices)
        if (voice.channel == channel && voice.key == key) {
            voice.note = -1;
            voice.releasing = false;
            voice.sustained = false;
            voice.playingOut = false;
        }
}

void VoicePool::noteOff(const VoiceContext& context, int32_t channel, int32_t key)
{
    if (key < 0) {
        std::fill(std::begin(keyDown), std::end(keyDown), 0);
        std::fill(&heldSince[0][0], &heldSince[0][0] + kMidiChannelCount * 128, 0);
        std::fill(&pedalHeld[0][0], &pedalHeld[0][0] + kMidiChannelCount * 128, false);
        for (Voice& voice : voices) {
            voice.note = -1;
            voice.releasing = false;
            voice.sustained = false;
            voice.playingOut = false;
        }
        return;
    }
    keyDown[key] = 0;
    forgetKey(context, channel, key);
    // A mono program's note goes back to the channel's last key still held.
    if (const int mono = monoVoiceOn(channel); mono >= 0) {
        Voice& voice = voices[mono];
        if (voice.key == key && !voice.releasing && !voice.playingOut && !voice.sustained) {
            if (pedalHeld[channel][key])
                letGo(context, voice);
            else
                returnToHeldKey(context, mono);
        }
        releaseKey(context, key, channel, mono);
        return;
    }
    if (context.console) {
        // A note that another took over is no longer this key's: nothing to do.
        releaseKey(context, key, channel);
        return;
    }
    // Mono legato: voice 0 goes back to the highest key still held, on
    // whichever channel it was pressed, so it is not released.
    const int32_t held = context.polyphony == 1 ? highestKeyDown() : -1;
    // Mono keys are one set for all channels, and legato may have moved the
    // note to the channel of a key that went up since: the key's own release
    // must still end it, whichever channel it plays on now.
    if (context.polyphony == 1 && held < 0 && voices[0].key == key && voices[0].channel != channel)
        releaseKey(context, key, voices[0].channel);
    releaseKey(context, key, channel, held >= 0 ? 0 : -1);
    if (held >= 0) {
        const float from = voices[0].pitch(context.frameRate);
        startVoice(context, 0, held, channel, -1);
        voices[0].noteId = keyNoteId[held];
        beginGlide(context, voices[0], from);
    }
}
