#include "Lv2Host.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>

namespace {

constexpr const char* kPlinkaUri = "https://plinka.invalid/plinka";
constexpr double kFirstRate = 44100.0;
constexpr int32_t kFirstBlock = 512;
// Room for a block's events in each atom port: far more than a block of MIDI.
constexpr size_t kAtomCapacity = 1 << 16;

// A lilv node made here and freed when it goes.
struct Node {
    LilvNode* node;
    explicit Node(LilvNode* made) : node(made) {}
    ~Node() { lilv_node_free(node); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    operator const LilvNode*() const { return node; }
};

std::string textOf(LilvNode* node)
{
    std::string text = node && lilv_node_as_string(node) ? lilv_node_as_string(node) : "";
    lilv_node_free(node);
    return text;
}

struct StoredProperties {
    Lv2Host* host;
    std::vector<Lv2Host::Property>* properties;
};

LV2_State_Status storeProperty(LV2_State_Handle handle, uint32_t key, const void* value, size_t size, uint32_t type,
                               uint32_t flags)
{
    auto* stored = static_cast<StoredProperties*>(handle);
    const char* keyUri = stored->host->unmapUri(key);
    const char* typeUri = stored->host->unmapUri(type);
    if (!keyUri || !typeUri || (size > 0 && !value))
        return LV2_STATE_ERR_UNKNOWN;
    const auto* bytes = static_cast<const uint8_t*>(value);
    stored->properties->push_back({keyUri, typeUri, std::vector<uint8_t>(bytes, bytes + size), flags});
    return LV2_STATE_SUCCESS;
}

const void* retrieveProperty(LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags)
{
    auto* offered = static_cast<StoredProperties*>(handle);
    const char* keyUri = offered->host->unmapUri(key);
    for (const Lv2Host::Property& property : *offered->properties) {
        if (!keyUri || property.key != keyUri)
            continue;
        if (size)
            *size = property.value.size();
        if (type)
            *type = offered->host->mapUri(property.type.c_str());
        if (flags)
            *flags = property.flags;
        return property.value.data();
    }
    return nullptr;
}

}  // namespace

struct Lv2Host::Port {
    enum class Kind { AudioIn, AudioOut, ControlIn, ControlOut, MidiIn, AtomIn, AtomOut, Unused };
    Kind kind = Kind::Unused;
    uint32_t index = 0;
    std::string symbol;
    float value = 0.0f;
    float minimum = 0.0f;
    float maximum = 0.0f;
    float defaultValue = 0.0f;
    std::vector<uint64_t> atom;  // 64-bit units: atoms are 8-byte aligned
    std::vector<float> audio;

    LV2_Atom_Sequence* sequence() { return reinterpret_cast<LV2_Atom_Sequence*>(atom.data()); }
};

Lv2Host::Lv2Host()
{
    map_.handle = this;
    map_.map = [](LV2_URID_Map_Handle self, const char* uri) { return static_cast<Lv2Host*>(self)->mapUri(uri); };
    unmap_.handle = this;
    unmap_.unmap = [](LV2_URID_Unmap_Handle self, LV2_URID urid) {
        return static_cast<Lv2Host*>(self)->unmapUri(urid);
    };
}

Lv2Host::~Lv2Host()
{
    close();
}

LV2_URID Lv2Host::mapUri(const char* uri)
{
    if (!uri)
        return 0;
    std::lock_guard<std::mutex> lock(mapMutex_);
    for (size_t i = 0; i < uris_.size(); ++i)
        if (*uris_[i] == uri)
            return static_cast<LV2_URID>(i + 1);
    uris_.push_back(std::make_unique<std::string>(uri));
    return static_cast<LV2_URID>(uris_.size());
}

const char* Lv2Host::unmapUri(LV2_URID urid)
{
    std::lock_guard<std::mutex> lock(mapMutex_);
    return urid >= 1 && urid <= uris_.size() ? uris_[urid - 1]->c_str() : nullptr;
}

bool Lv2Host::load(const std::string& path)
{
    close();
    error_.clear();
    world_ = lilv_world_new();
    if (!world_) {
        error_ = path + ": lilv could not start";
        return false;
    }
    // Each step's nodes are freed before the world may be.
    if (!findPlugin(path) || !checkFeatures(path) || !readPorts(path)) {
        close();
        return false;
    }
    if (char* file = lilv_file_uri_parse(lilv_node_as_uri(lilv_plugin_get_library_uri(plugin_)), nullptr)) {
        const bool opened = binary_.open(file, error_);
        lilv_free(file);
        if (!opened) {
            close();
            return false;
        }
    }
    return instantiate(kFirstRate);
}

bool Lv2Host::findPlugin(const std::string& path)
{
    const bool byUri = path.find("://") != std::string::npos || path.rfind("urn:", 0) == 0;
    if (byUri) {
        lilv_world_load_all(world_);
        const Node uri(lilv_new_uri(world_, path.c_str()));
        plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
        if (!plugin_)
            error_ = path + ": no LV2 plug-in of that URI on LV2_PATH";
    } else {
        std::error_code failed;
        std::filesystem::path folder = std::filesystem::weakly_canonical(std::filesystem::absolute(path), failed);
        if (!failed && std::filesystem::is_regular_file(folder))
            folder = folder.parent_path();
        if (failed || !std::filesystem::is_directory(folder)) {
            error_ = path + ": no such LV2 bundle folder";
            return false;
        }
        const Node bundle(lilv_new_file_uri(world_, nullptr, (folder.string() + "/").c_str()));
        lilv_world_load_bundle(world_, bundle);
        const LilvPlugins* plugins = lilv_world_get_all_plugins(world_);
        LILV_FOREACH(plugins, i, plugins)
        {
            const LilvPlugin* candidate = lilv_plugins_get(plugins, i);
            if (lilv_node_equals(lilv_plugin_get_bundle_uri(candidate), bundle)) {
                plugin_ = candidate;
                break;
            }
        }
        if (!plugin_)
            error_ = path + ": no LV2 plug-in described in this bundle";
    }
    if (plugin_ && !lilv_plugin_verify(plugin_)) {
        error_ = path + ": the plug-in's description is incomplete";
        plugin_ = nullptr;
    }
    return plugin_ != nullptr;
}

bool Lv2Host::checkFeatures(const std::string& path)
{
    LilvNodes* required = lilv_plugin_get_required_features(plugin_);
    LILV_FOREACH(nodes, i, required)
    {
        const std::string needed = lilv_node_as_uri(lilv_nodes_get(required, i));
        if (needed != LV2_URID__map && needed != LV2_URID__unmap && error_.empty())
            error_ = path + ": the plug-in needs a host feature this host lacks: " + needed;
    }
    lilv_nodes_free(required);
    return error_.empty();
}

bool Lv2Host::readPorts(const std::string& path)
{
    const Node audio(lilv_new_uri(world_, LV2_CORE__AudioPort));
    const Node control(lilv_new_uri(world_, LV2_CORE__ControlPort));
    const Node atom(lilv_new_uri(world_, LV2_ATOM__AtomPort));
    const Node input(lilv_new_uri(world_, LV2_CORE__InputPort));
    const Node midiEvent(lilv_new_uri(world_, LV2_MIDI__MidiEvent));
    const Node optional(lilv_new_uri(world_, LV2_CORE__connectionOptional));
    const uint32_t count = lilv_plugin_get_num_ports(plugin_);
    std::vector<float> minimum(count), maximum(count), defaults(count);
    lilv_plugin_get_port_ranges_float(plugin_, minimum.data(), maximum.data(), defaults.data());
    ports_.assign(count, Port{});
    for (uint32_t index = 0; index < count; ++index) {
        const LilvPort* lilvPort = lilv_plugin_get_port_by_index(plugin_, index);
        Port& port = ports_[index];
        port.index = index;
        port.symbol = lilv_node_as_string(lilv_port_get_symbol(plugin_, lilvPort));
        const bool in = lilv_port_is_a(plugin_, lilvPort, input);
        if (lilv_port_is_a(plugin_, lilvPort, audio)) {
            port.kind = in ? Port::Kind::AudioIn : Port::Kind::AudioOut;
        } else if (lilv_port_is_a(plugin_, lilvPort, control)) {
            port.kind = in ? Port::Kind::ControlIn : Port::Kind::ControlOut;
            port.minimum = minimum[index];
            port.maximum = maximum[index];
            port.defaultValue = defaults[index];
            port.value = std::isnan(defaults[index]) ? 0.0f : defaults[index];
        } else if (lilv_port_is_a(plugin_, lilvPort, atom)) {
            port.kind = !in                                                      ? Port::Kind::AtomOut
                        : lilv_port_supports_event(plugin_, lilvPort, midiEvent) ? Port::Kind::MidiIn
                                                                                 : Port::Kind::AtomIn;
            port.atom.resize(kAtomCapacity / sizeof(uint64_t));
        } else if (!lilv_port_has_property(plugin_, lilvPort, optional)) {
            error_ = path + ": port " + port.symbol + " is of a kind this host cannot connect";
            return false;
        }
    }
    return true;
}

bool Lv2Host::instantiate(double sampleRate)
{
    const LV2_Feature mapFeature{LV2_URID__map, &map_};
    const LV2_Feature unmapFeature{LV2_URID__unmap, &unmap_};
    const LV2_Feature* features[] = {&mapFeature, &unmapFeature, nullptr};
    instance_ = lilv_plugin_instantiate(plugin_, sampleRate, features);
    if (!instance_) {
        error_ = uri() + ": the plug-in made no instance";
        return false;
    }
    sampleRate_ = sampleRate;
    maxBlock_ = std::max(maxBlock_, kFirstBlock);
    for (Port& port : ports_) {
        void* data = nullptr;
        switch (port.kind) {
        case Port::Kind::ControlIn:
        case Port::Kind::ControlOut:
            data = &port.value;
            break;
        case Port::Kind::MidiIn:
        case Port::Kind::AtomIn:
        case Port::Kind::AtomOut:
            data = port.atom.data();
            break;
        case Port::Kind::AudioIn:
        case Port::Kind::AudioOut:
            port.audio.assign(static_cast<size_t>(maxBlock_), 0.0f);
            data = port.audio.data();
            break;
        case Port::Kind::Unused:
            break;
        }
        lilv_instance_connect_port(instance_, port.index, data);
    }
    return true;
}

void Lv2Host::freeInstance()
{
    if (!instance_)
        return;
    if (active_)
        lilv_instance_deactivate(instance_);
    active_ = false;
    lilv_instance_free(instance_);
    instance_ = nullptr;
}

void Lv2Host::close()
{
    freeInstance();
    ports_.clear();
    plugin_ = nullptr;
    if (world_)
        lilv_world_free(world_);
    world_ = nullptr;
    binary_.close();
}

void Lv2Host::start(double sampleRate, int32_t maxBlock, bool)
{
    if (!instance_ || active_)
        return;
    maxBlock_ = std::max(maxBlock_, maxBlock);
    if (sampleRate != sampleRate_) {
        std::vector<Property> state;
        const bool saved = saveProperties(state);
        freeInstance();
        if (!instantiate(sampleRate))
            return;
        if (saved)
            restoreProperties(state);
    }
    for (Port& port : ports_)
        if ((port.kind == Port::Kind::AudioIn || port.kind == Port::Kind::AudioOut) &&
            port.audio.size() < static_cast<size_t>(maxBlock_)) {
            port.audio.assign(static_cast<size_t>(maxBlock_), 0.0f);
            lilv_instance_connect_port(instance_, port.index, port.audio.data());
        }
    lilv_instance_activate(instance_);
    active_ = true;
}

void Lv2Host::stop()
{
    if (instance_ && active_)
        lilv_instance_deactivate(instance_);
    active_ = false;
}

std::string Lv2Host::uri()
{
    return plugin_ ? lilv_node_as_uri(lilv_plugin_get_uri(plugin_)) : "";
}

std::string Lv2Host::name()
{
    return plugin_ ? textOf(lilv_plugin_get_name(plugin_)) : "";
}

std::string Lv2Host::vendor()
{
    return plugin_ ? textOf(lilv_plugin_get_author_name(plugin_)) : "";
}

int Lv2Host::outputChannels()
{
    const auto outputs =
        std::count_if(ports_.begin(), ports_.end(), [](const Port& port) { return port.kind == Port::Kind::AudioOut; });
    return static_cast<int>(std::min<std::ptrdiff_t>(outputs, 2));
}

void* Lv2Host::instanceHandle() const
{
    return instance_ ? lilv_instance_get_handle(instance_) : nullptr;
}

bool Lv2Host::setControl(const std::string& symbol, float value)
{
    for (Port& port : ports_)
        if (port.kind == Port::Kind::ControlIn && port.symbol == symbol) {
            port.value = value;
            return true;
        }
    return false;
}

bool Lv2Host::controlRange(const std::string& symbol, float& minimum, float& maximum, float& defaultValue)
{
    for (const Port& port : ports_)
        if (port.kind == Port::Kind::ControlIn && port.symbol == symbol) {
            minimum = port.minimum;
            maximum = port.maximum;
            defaultValue = port.defaultValue;
            return true;
        }
    return false;
}

void Lv2Host::process(const BlockMidi& midi, float* left, float* right, int32_t frames)
{
    // A run of no samples is a host's way to hand over events alone.
    if (!instance_ || frames < 0)
        return;
    if (frames > maxBlock_) {
        const bool wasActive = active_;
        stop();
        start(sampleRate_, frames, false);
        if (!wasActive)
            stop();
    }
    const LV2_URID sequenceType = mapUri(LV2_ATOM__Sequence);
    const LV2_URID midiType = mapUri(LV2_MIDI__MidiEvent);
    float* outputs[2] = {left, right};
    int output = 0;
    for (Port& port : ports_) {
        switch (port.kind) {
        case Port::Kind::MidiIn:
        case Port::Kind::AtomIn: {
            LV2_Atom_Sequence* sequence = port.sequence();
            sequence->atom.type = sequenceType;
            sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
            sequence->body.unit = 0;
            sequence->body.pad = 0;
            if (port.kind != Port::Kind::MidiIn)
                break;
            {
                // The transport's tempo, as hosts send it: a time:Position
                // object at the block's start.
                struct {
                    LV2_Atom_Event event;
                    LV2_Atom_Object_Body object;
                    LV2_Atom_Property_Body property;
                    float tempo;
                } position{};
                position.event.body.type = mapUri(LV2_ATOM__Object);
                position.event.body.size = sizeof position - sizeof position.event;
                position.object.otype = mapUri(LV2_TIME__Position);
                position.property.key = mapUri(LV2_TIME__beatsPerMinute);
                position.property.value = {sizeof(float), mapUri(LV2_ATOM__Float)};
                position.tempo = static_cast<float>(tempo_);
                lv2_atom_sequence_append_event(sequence, kAtomCapacity - sizeof(LV2_Atom), &position.event);
            }
            for (const auto& [offset, bytes] : midi) {
                // An event and its body, as the sequence holds them.
                struct {
                    LV2_Atom_Event event;
                    uint8_t body[8];
                } message{};
                message.event.time.frames = offset;
                message.event.body.type = midiType;
                message.event.body.size = static_cast<uint32_t>(std::min(bytes.size(), sizeof message.body));
                std::memcpy(message.body, bytes.data(), message.event.body.size);
                lv2_atom_sequence_append_event(sequence, kAtomCapacity - sizeof(LV2_Atom), &message.event);
            }
            break;
        }
        case Port::Kind::AtomOut: {
            // An output's buffer is handed over as a chunk of its whole room.
            LV2_Atom_Sequence* sequence = port.sequence();
            sequence->atom.type = mapUri(LV2_ATOM__Chunk);
            sequence->atom.size = kAtomCapacity - sizeof(LV2_Atom);
            break;
        }
        case Port::Kind::AudioOut:
            if (output < 2 && outputs[output])
                lilv_instance_connect_port(instance_, port.index, outputs[output]);
            else
                lilv_instance_connect_port(instance_, port.index, port.audio.data());
            ++output;
            break;
        case Port::Kind::AudioIn:
            std::fill(port.audio.begin(), port.audio.end(), 0.0f);
            break;
        default:
            break;
        }
    }
    lilv_instance_run(instance_, static_cast<uint32_t>(frames));
    const LV2_URID objectType = mapUri(LV2_ATOM__Object);
    for (Port& port : ports_) {
        if (port.kind == Port::Kind::AudioOut)
            lilv_instance_connect_port(instance_, port.index, port.audio.data());
        if (port.kind != Port::Kind::AtomOut || port.sequence()->atom.type != sequenceType)
            continue;
        LV2_ATOM_SEQUENCE_FOREACH(port.sequence(), event)
        {
            LV2_URID type = event->body.type;
            if (type == objectType && event->body.size >= sizeof(LV2_Atom_Object_Body))
                type = reinterpret_cast<const LV2_Atom_Object_Body*>(LV2_ATOM_BODY_CONST(&event->body))->otype;
            if (const char* name = unmapUri(type))
                outputEvents.push_back(name);
        }
    }
    // A mono instrument plays in both channels.
    if (output == 1 && left && right)
        std::copy(left, left + frames, right);
}

bool Lv2Host::saveProperties(std::vector<Property>& properties)
{
    properties.clear();
    const auto* state =
        instance_
            ? static_cast<const LV2_State_Interface*>(lilv_instance_get_extension_data(instance_, LV2_STATE__interface))
            : nullptr;
    if (!state || !state->save) {
        error_ = uri() + ": the plug-in has no state extension";
        return false;
    }
    StoredProperties stored{this, &properties};
    const LV2_Feature* features[] = {nullptr};
    const LV2_State_Status status = state->save(lilv_instance_get_handle(instance_), storeProperty, &stored,
                                                LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, features);
    if (status != LV2_STATE_SUCCESS) {
        error_ = uri() + ": the plug-in could not save its state (status " + std::to_string(status) + ")";
        return false;
    }
    return true;
}

LV2_State_Status Lv2Host::restoreProperties(const std::vector<Property>& properties)
{
    const auto* state =
        instance_
            ? static_cast<const LV2_State_Interface*>(lilv_instance_get_extension_data(instance_, LV2_STATE__interface))
            : nullptr;
    if (!state || !state->restore)
        return LV2_STATE_ERR_NO_FEATURE;
    std::vector<Property> offered = properties;
    StoredProperties handle{this, &offered};
    const LV2_Feature* features[] = {nullptr};
    return state->restore(lilv_instance_get_handle(instance_), retrieveProperty, &handle,
                          LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, features);
}

bool Lv2Host::saveState(std::vector<uint8_t>& state)
{
    std::vector<Property> properties;
    if (!saveProperties(properties))
        return false;
    if (properties.size() != 1 || properties[0].type != LV2_ATOM__Chunk) {
        error_ = uri() + ": the plug-in's state is not one chunk of bytes";
        return false;
    }
    state = std::move(properties[0].value);
    return true;
}

bool Lv2Host::loadState(const std::vector<uint8_t>& state)
{
    // The property the plug-in keeps its chunk under, as its last save names it.
    std::vector<Property> properties;
    if (!saveProperties(properties))
        return false;
    if (properties.size() != 1 || properties[0].type != LV2_ATOM__Chunk) {
        error_ = uri() + ": the plug-in's state is not one chunk of bytes";
        return false;
    }
    properties[0].value = state;
    const LV2_State_Status status = restoreProperties(properties);
    if (status != LV2_STATE_SUCCESS) {
        error_ = uri() + ": the plug-in refused the state (status " + std::to_string(status) + ")";
        return false;
    }
    return true;
}

FxIdentity Lv2Host::fxIdentity()
{
    // Plinka's state is its VST 2 chunk in every format.
    return uri() == kPlinkaUri ? plinkaFxIdentity() : FxIdentity{};
}

std::unique_ptr<InstrumentHost> makeLv2Host()
{
    return std::make_unique<Lv2Host>();
}
