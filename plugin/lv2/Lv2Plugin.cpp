#include "Lv2Plugin.h"

#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kLongestMessage = 3;  // what the engine reads of a MIDI message

const void* feature(const LV2_Feature* const* features, const char* uri)
{
    for (const LV2_Feature* const* f = features; f && *f; ++f)
        if ((*f)->URI && std::strcmp((*f)->URI, uri) == 0)
            return (*f)->data;
    return nullptr;
}

}  // namespace

Lv2Plugin* Lv2Plugin::create(double sampleRate, const LV2_Feature* const* features)
{
    auto* map = static_cast<LV2_URID_Map*>(const_cast<void*>(feature(features, LV2_URID__map)));
    if (!map || !map->map || !(sampleRate > 0.0) || !std::isfinite(sampleRate))
        return nullptr;
    return new (std::nothrow) Lv2Plugin(sampleRate, map);
}

Lv2Plugin::Lv2Plugin(double sampleRate, LV2_URID_Map* map) : sampleRate_(static_cast<float>(sampleRate))
{
    urids_.atomSequence = map->map(map->handle, LV2_ATOM__Sequence);
    urids_.atomChunk = map->map(map->handle, LV2_ATOM__Chunk);
    urids_.atomObject = map->map(map->handle, LV2_ATOM__Object);
    urids_.atomBlank = map->map(map->handle, LV2_ATOM__Blank);
    urids_.atomFloat = map->map(map->handle, LV2_ATOM__Float);
    urids_.atomDouble = map->map(map->handle, LV2_ATOM__Double);
    urids_.atomInt = map->map(map->handle, LV2_ATOM__Int);
    urids_.atomLong = map->map(map->handle, LV2_ATOM__Long);
    urids_.midiEvent = map->map(map->handle, LV2_MIDI__MidiEvent);
    urids_.timePosition = map->map(map->handle, LV2_TIME__Position);
    urids_.timeBeatsPerMinute = map->map(map->handle, LV2_TIME__beatsPerMinute);
    urids_.bank = map->map(map->handle, kLv2BankUri);
    urids_.stateChanged = map->map(map->handle, LV2_STATE__StateChanged);
    for (uint32_t id = 0; id < kParameterCount; ++id)
        lastControls_[id] = static_cast<float>(kParameterInfo[id].defaultValue);
    // A new instance is no change of the song.
    instrument.checkProgramChange();
}

void Lv2Plugin::activate()
{
    instrument.prepare(sampleRate_);
}

// ---- audio thread ----

void Lv2Plugin::connectPort(uint32_t port, void* data)
{
    switch (port) {
    case kPortMidiIn:
        midiIn_ = static_cast<const LV2_Atom_Sequence*>(data);
        break;
    case kPortLeft:
        left_ = static_cast<float*>(data);
        break;
    case kPortRight:
        right_ = static_cast<float*>(data);
        break;
    case kPortGain:
    case kPortClock:
    case kPortPolyphony:
        controls_[port - kPortGain] = static_cast<const float*>(data);
        break;
    case kPortNotify:
        notify_ = static_cast<LV2_Atom_Sequence*>(data);
        break;
    default:
        break;
    }
}

void Lv2Plugin::run(uint32_t frames)
{
    frames_ = frames;
    applyControls();
    readMidi();
    if (instrument.render(left_, right_, static_cast<int32_t>(frames), sampleRate_))
        stateChanged_.store(true, std::memory_order_relaxed);
    notifyStateChanged();
}

void Lv2Plugin::applyControls()
{
    // A restore set the chunk's settings behind the ports' backs, and a host
    // that writes the same values again would change nothing: every port acts.
    const bool restored =
        restored_.load(std::memory_order_relaxed) && restored_.exchange(false, std::memory_order_acquire);
    for (uint32_t id = 0; id < kParameterCount; ++id) {
        if (!controls_[id])
            continue;
        const float value = *controls_[id];
        // A value that is no number changes nothing, and is compared again.
        if ((value == lastControls_[id] && !restored) || !std::isfinite(value))
            continue;
        lastControls_[id] = value;
        instrument.setParameterValue(id, value);
    }
}

void Lv2Plugin::readMidi()
{
    if (!midiIn_ || midiIn_->atom.type != urids_.atomSequence)
        return;
    // Events come in time order, stamped in frames of this block; one past
    // the block acts at its end, and those of a run of no samples at the
    // next block's start.
    LV2_ATOM_SEQUENCE_FOREACH(midiIn_, event)
    {
        if (event->body.type == urids_.atomObject || event->body.type == urids_.atomBlank) {
            readPosition(reinterpret_cast<const LV2_Atom_Object*>(&event->body));
            continue;
        }
        if (event->body.type != urids_.midiEvent || event->body.size == 0)
            continue;
        const auto* bytes = reinterpret_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&event->body));
        // System messages (sysex and the rest) mean nothing here.
        if (bytes[0] < 0x80 || bytes[0] >= 0xF0 || event->body.size > kLongestMessage)
            continue;
        uint8_t message[kLongestMessage] = {};
        std::memcpy(message, bytes, event->body.size);
        const int64_t frame = std::clamp<int64_t>(event->time.frames, 0, frames_ > 0 ? frames_ - 1 : 0);
        instrument.queueMidi(static_cast<int32_t>(frame), message);
    }
}

void Lv2Plugin::readPosition(const LV2_Atom_Object* object)
{
    if (object->body.otype != urids_.timePosition)
        return;
    const LV2_Atom* tempo = nullptr;
    lv2_atom_object_get(object, urids_.timeBeatsPerMinute, &tempo, 0);
    if (!tempo)
        return;
    // The host picks the number's type; the engine ignores what is no tempo.
    const void* body = LV2_ATOM_BODY_CONST(tempo);
    double bpm = 0.0;
    if (tempo->type == urids_.atomFloat && tempo->size >= sizeof(float))
        bpm = *static_cast<const float*>(body);
    else if (tempo->type == urids_.atomDouble && tempo->size >= sizeof(double))
        bpm = *static_cast<const double*>(body);
    else if (tempo->type == urids_.atomInt && tempo->size >= sizeof(int32_t))
        bpm = *static_cast<const int32_t*>(body);
    else if (tempo->type == urids_.atomLong && tempo->size >= sizeof(int64_t))
        bpm = static_cast<double>(*static_cast<const int64_t*>(body));
    instrument.engine.setHostTempo(bpm);
}

void Lv2Plugin::notifyStateChanged()
{
    if (!notify_)
        return;
    // The host says in the sequence's size how much room it gave.
    const uint32_t capacity = notify_->atom.size;
    lv2_atom_sequence_clear(notify_);
    notify_->atom.type = urids_.atomSequence;
    notify_->body.unit = 0;  // time in frames
    notify_->body.pad = 0;
    if (!stateChanged_.load(std::memory_order_acquire))
        return;
    struct {
        LV2_Atom_Event event;
        LV2_Atom_Object_Body object;
    } changed{};
    changed.event.time.frames = 0;
    changed.event.body.size = sizeof(LV2_Atom_Object_Body);
    changed.event.body.type = urids_.atomObject;
    changed.object.otype = urids_.stateChanged;
    if (lv2_atom_sequence_append_event(notify_, capacity, &changed.event))
        stateChanged_.store(false, std::memory_order_release);
}

// ---- user-interface thread ----

bool Lv2Plugin::attachUi(EditListener& ui)
{
    if (uiCount_ == kMaxUis)
        return false;
    uis_[uiCount_++] = &ui;
    instrument.setEditListener(uis_[0]);
    return true;
}

void Lv2Plugin::detachUi(EditListener& ui)
{
    EditListener** end = std::remove(uis_, uis_ + uiCount_, &ui);
    uiCount_ = static_cast<size_t>(end - uis_);
    instrument.setEditListener(uiCount_ > 0 ? uis_[0] : nullptr);
}

// ---- host threads ----

LV2_State_Status Lv2Plugin::save(LV2_State_Store_Function store, LV2_State_Handle handle)
{
    if (!store)
        return LV2_STATE_ERR_UNKNOWN;
    const unsigned char* bytes = nullptr;
    const size_t size = instrument.saveState(&bytes);
    if (size == 0)
        return LV2_STATE_ERR_NO_SPACE;
    // The chunk's cells are little-endian whatever the machine: portable.
    return store(handle, urids_.bank, bytes, size, urids_.atomChunk, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status Lv2Plugin::restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle)
{
    if (!retrieve)
        return LV2_STATE_ERR_UNKNOWN;
    size_t size = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    const void* bytes = retrieve(handle, urids_.bank, &size, &type, &flags);
    if (!bytes)
        return LV2_STATE_ERR_NO_PROPERTY;
    if (type != urids_.atomChunk)
        return LV2_STATE_ERR_BAD_TYPE;
    if (!instrument.loadState(bytes, size))
        return LV2_STATE_ERR_UNKNOWN;
    // The host made this change itself: it is no news to it.
    instrument.checkProgramChange();
    restored_.store(true, std::memory_order_release);
    return LV2_STATE_SUCCESS;
}
