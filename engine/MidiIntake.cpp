#include "MidiIntake.h"

#include "MpeZone.h"

#include <algorithm>

namespace {

constexpr float kInitialBendRange = 2.0f;
constexpr int32_t kBendCentre = 8192;

// Controllers
constexpr int kDataEntryMsb = 6;
constexpr int kDataEntryLsb = 38;
constexpr int kRpnLsb = 100;
constexpr int kRpnMsb = 101;
constexpr int kTimbre = 74;
// Registered parameters
constexpr int kBendRangeRpn = 0;
constexpr int kMpeConfigurationRpn = 6;
constexpr int kFirstAllNotesOff = 123;  // 123 to 127 all end every note

bool shapesTheSound(int controller)
{
    switch (controller) {
    case 1:    // modulation wheel
    case 5:    // portamento time
    case 7:    // volume
    case 11:   // expression
    case 64:   // sustain pedal
    case 65:   // portamento
    case 120:  // all sound off
    case 121:  // reset all controllers
        return true;
    default:
        return false;
    }
}

}  // namespace

MidiIntake::MidiIntake()
{
    for (float& range : bendRange)
        range = kInitialBendRange;
}

void MidiIntake::setMpeMode(int32_t mode)
{
    mpeMode = mode;
    for (int32_t channel = 0; channel < kMidiChannelCount; ++channel)
        bendRange[channel] = isMpeMember(mode, channel) ? kMpeMemberBendRange : kInitialBendRange;
}

void MidiIntake::decode(int32_t deltaFrames, const uint8_t message[3], EventQueue& queue)
{
    const uint8_t status = message[0];
    const int kind = status & 0xF0;
    if (status < 0x80 || kind == 0xF0)
        return;  // running-status data and system messages
    EngineEvent event{};
    event.deltaFrames = deltaFrames;
    event.channel = status & 0x0F;
    event.noteId = -1;  // MIDI carries no ids
    const int data1 = message[1] & 0x7F;
    const int data2 = message[2] & 0x7F;

    switch (kind) {
    case 0x80:
    case 0x90:
        event.type = NoteEvent;
        event.key = data1;
        event.velocity = kind == 0x80 ? 0 : data2;  // a note on of velocity 0 is a note off
        queue.push(event);
        return;
    case 0xB0: {
        const int controller = message[1];
        if (controller == kRpnLsb) {
            rpnLsb = data2;
        } else if (controller == kRpnMsb) {
            rpnMsb = data2;
        } else if (controller == kDataEntryLsb) {
            dataEntryLsb = data2;
        } else if (controller == kDataEntryMsb) {
            dataEntryMsb = data2;
            // Registered parameter 0 is the pitch-bend range; it is taken as
            // half the data entry value, as songs have always had it, but on
            // an MPE member as MIDI means it, in semitones (MPE controllers
            // send their members 48 to confirm the default), up to MPE's 96.
            if (rpnLsb == kBendRangeRpn && rpnMsb == 0) {
                bendRange[event.channel] = isMpeMember(mpeMode, event.channel)
                                               ? static_cast<float>(std::min(data2, kMpeMaxBendRange))
                                               : static_cast<float>(data2) * 0.5f;
            } else if (rpnLsb == kMpeConfigurationRpn && rpnMsb == 0 &&
                       (event.channel == kMpeLowerManager || event.channel == kMpeUpperManager)) {
                // The ranges change at once, for the bends decoded after it;
                // the engine takes the mode at the message's sample, from
                // the mode it has there.
                const int32_t mode = mpeAfterConfiguration(mpeMode, event.channel, data2);
                if (mode != mpeMode || data2 != 0)
                    setMpeMode(mode);
                event.type = MpeEvent;
                event.value = data2;
                queue.push(event);
            }
        } else if (controller == kTimbre && isMpeMember(mpeMode, event.channel)) {
            event.type = ControllerEvent;
            event.controller = controller;
            event.value = data2;
            queue.push(event);
        } else if (controller >= kFirstAllNotesOff && controller <= 127) {
            event.type = NoteEvent;
            event.key = -1;
            event.velocity = 0;
            queue.push(event);
        } else if (controllersOn && shapesTheSound(controller)) {
            event.type = ControllerEvent;
            event.controller = controller;
            event.value = data2;
            queue.push(event);
        }
        return;
    }
    case 0xC0:
        event.type = ProgramEvent;
        event.program = data1;
        queue.push(event);
        return;
    case 0xE0: {
        const int32_t raw = data2 * 128 + data1 - kBendCentre;  // -8192..8191
        event.type = BendEvent;
        event.bend = static_cast<float>(static_cast<double>(static_cast<float>(raw) * bendRange[event.channel]) *
                                        0.0001220703125);
        queue.push(event);
        return;
    }
    case 0xD0:
        if (!isMpeMember(mpeMode, event.channel))
            return;
        event.type = PressureEvent;
        event.value = data1;
        queue.push(event);
        return;
    default:
        return;  // polyphonic pressure
    }
}
