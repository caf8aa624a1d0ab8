#include "PluginHost.h"

#include <algorithm>
#include <cstring>

namespace {

// The host being loaded on this thread: the version query comes before the
// plug-in has an AEffect through which to find its host.
thread_local PluginHost* loadingHost = nullptr;

void copyAnswer(void* ptr, const char* text)
{
    if (ptr)
        std::memcpy(ptr, text, std::strlen(text) + 1);
}

}  // namespace

PluginHost::~PluginHost()
{
    close();
}

bool PluginHost::load(const std::string& path)
{
    close();
    error_.clear();
    if (!library_.open(path, error_))
        return false;
    auto* entry = reinterpret_cast<VstPluginMainProc>(library_.symbol("VSTPluginMain"));
    if (!entry)
        entry = reinterpret_cast<VstPluginMainProc>(library_.symbol("main"));
    if (!entry) {
        error_ = path + " exports neither VSTPluginMain nor main: not a VST 2 plug-in";
        library_.close();
        return false;
    }
    loadingHost = this;
    effect_ = entry(hostCallback);
    loadingHost = nullptr;
    if (!effect_) {
        error_ = path + ": the plug-in's entry point answered null";
        library_.close();
        return false;
    }
    if (effect_->magic != kEffectMagic) {
        error_ = path + ": the entry point answered a record without the VST magic number";
        effect_ = nullptr;
        library_.close();
        return false;
    }
    // A field reserved for the host: how callbacks find their host.
    effect_->resvd1 = reinterpret_cast<VstIntPtr>(this);
    return true;
}

void PluginHost::close()
{
    if (effect_)
        effect_->dispatcher(effect_, effClose, 0, 0, nullptr, 0.0f);
    effect_ = nullptr;
    library_.close();
}

VstIntPtr PluginHost::dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt)
{
    if (!effect_)
        return 0;
    if (opcode == effClose) {
        const VstIntPtr result = effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
        effect_ = nullptr;
        return result;
    }
    return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

void PluginHost::start(float sampleRate, VstInt32 blockSize)
{
    sampleRateAnswer = static_cast<VstIntPtr>(sampleRate);
    blockSizeAnswer = blockSize;
    timeInfo_ = {};
    timeInfo_.sampleRate = sampleRate;
    timeInfo_.tempo = 120.0;
    timeInfo_.timeSigNumerator = 4;
    timeInfo_.timeSigDenominator = 4;
    timeInfo_.flags = kVstTransportPlaying | kVstTempoValid | kVstPpqPosValid | kVstTimeSigValid;
    dispatch(effOpen);
    dispatch(effSetSampleRate, 0, 0, nullptr, sampleRate);
    dispatch(effSetBlockSize, 0, blockSize);
    dispatch(effMainsChanged, 0, 1);
}

VstIntPtr VSTCALLBACK PluginHost::hostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                               void* ptr, float opt)
{
    PluginHost* host = effect && effect->resvd1 ? reinterpret_cast<PluginHost*>(effect->resvd1) : loadingHost;
    if (!host)
        return opcode == audioMasterVersion ? kVstVersion : 0;
    return host->answer(effect, opcode, index, value, ptr, opt);
}

VstIntPtr PluginHost::answer(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt)
{
    if (recordCalls) {
        std::lock_guard<std::mutex> lock(callsMutex_);
        calls_.push_back({effect != nullptr, opcode, index, value, opt});
    }
    switch (opcode) {
    case audioMasterVersion:
        return versionAnswer;
    case audioMasterGetSampleRate:
        return sampleRateAnswer;
    case audioMasterGetBlockSize:
        return blockSizeAnswer;
    case audioMasterWantMidi:
    case audioMasterUpdateDisplay:
        return 1;
    case audioMasterGetVendorString:
        copyAnswer(ptr, "Plinka");
        return 1;
    case audioMasterGetProductString:
        copyAnswer(ptr, "PluginHost");
        return 1;
    case audioMasterGetVendorVersion:
        return 1;
    case audioMasterGetTime:
        return reinterpret_cast<VstIntPtr>(&timeInfo_);
    case audioMasterGetCurrentProcessLevel:
        return processLevelAnswer;
    case audioMasterGetAutomationState:
        return 1;  // off
    case audioMasterGetLanguage:
        return 1;  // English
    case audioMasterCanDo: {
        const char* what = static_cast<const char*>(ptr);
        for (const char* can : {"sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo"})
            if (what && std::strcmp(what, can) == 0)
                return 1;
        return 0;
    }
    default:
        return 0;
    }
}

std::vector<HostCall> PluginHost::calls() const
{
    std::lock_guard<std::mutex> lock(callsMutex_);
    return calls_;
}

size_t PluginHost::countCalls(VstInt32 opcode) const
{
    std::lock_guard<std::mutex> lock(callsMutex_);
    return static_cast<size_t>(
        std::count_if(calls_.begin(), calls_.end(), [opcode](const HostCall& call) { return call.opcode == opcode; }));
}

void PluginHost::clearCalls()
{
    std::lock_guard<std::mutex> lock(callsMutex_);
    calls_.clear();
}

std::string PluginHost::effectName()
{
    char text[256] = {};
    dispatch(effGetEffectName, 0, 0, text);
    return text;
}

std::string PluginHost::vendorString()
{
    char text[256] = {};
    dispatch(effGetVendorString, 0, 0, text);
    return text;
}

std::string PluginHost::programName()
{
    char text[256] = {};
    dispatch(effGetProgramName, 0, 0, text);
    return text;
}

std::vector<uint8_t> PluginHost::getChunk(bool isPreset)
{
    void* data = nullptr;
    const VstIntPtr size = dispatch(effGetChunk, isPreset ? 1 : 0, 0, &data);
    if (!data || size <= 0)
        return {};
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

VstIntPtr PluginHost::setChunk(const std::vector<uint8_t>& data, bool isPreset)
{
    std::vector<uint8_t> copy = data;  // the plug-in may keep nothing of ours
    return dispatch(effSetChunk, isPreset ? 1 : 0, static_cast<VstIntPtr>(copy.size()),
                    copy.empty() ? nullptr : copy.data());
}

void PluginHost::sendMidi(const std::vector<std::pair<VstInt32, std::vector<uint8_t>>>& messages)
{
    std::vector<VstMidiEvent> events(messages.size());
    // VstEvents ends in a two-element array that really holds numEvents pointers.
    std::vector<unsigned char> storage(sizeof(VstEvents) + messages.size() * sizeof(VstEvent*));
    auto* list = reinterpret_cast<VstEvents*>(storage.data());
    list->numEvents = static_cast<VstInt32>(messages.size());
    list->reserved = 0;
    VstEvent** slots = list->events;
    for (size_t i = 0; i < messages.size(); ++i) {
        VstMidiEvent& event = events[i];
        event = {};
        event.type = kVstMidiType;
        event.byteSize = sizeof(VstMidiEvent);
        event.deltaFrames = messages[i].first;
        const std::vector<uint8_t>& bytes = messages[i].second;
        for (size_t b = 0; b < bytes.size() && b < 3; ++b)
            event.midiData[b] = static_cast<char>(bytes[b]);
        slots[i] = reinterpret_cast<VstEvent*>(&event);
    }
    dispatch(effProcessEvents, 0, 0, list);
}

void PluginHost::process(float* left, float* right, VstInt32 frames)
{
    if (!effect_)
        return;
    const int inputs = std::max(effect_->numInputs, 0);
    const int outputs = std::max(effect_->numOutputs, 2);
    const auto length = static_cast<size_t>(std::max(frames, 0));
    spareInputs_.resize(static_cast<size_t>(inputs));
    spareOutputs_.resize(static_cast<size_t>(outputs));
    inputPointers_.assign(static_cast<size_t>(inputs), nullptr);
    outputPointers_.assign(static_cast<size_t>(outputs), nullptr);
    for (int i = 0; i < inputs; ++i) {
        spareInputs_[i].assign(length, 0.0f);
        inputPointers_[i] = spareInputs_[i].data();
    }
    for (int i = 0; i < outputs; ++i) {
        spareOutputs_[i].resize(length);
        outputPointers_[i] = spareOutputs_[i].data();
    }
    if (left)
        outputPointers_[0] = left;
    if (right)
        outputPointers_[1] = right;
    effect_->processReplacing(effect_, left || right ? inputPointers_.data() : nullptr,
                              left || right ? outputPointers_.data() : nullptr, frames);
    if (effect_ && effect_->numOutputs == 1 && left && right)
        std::copy(left, left + length, right);
    timeInfo_.samplePos += frames;
    if (timeInfo_.sampleRate > 0.0)
        timeInfo_.ppqPos = timeInfo_.samplePos / timeInfo_.sampleRate * timeInfo_.tempo / 60.0;
}

StereoBuffer PluginHost::render(int64_t frames, VstInt32 blockSize, const std::vector<TimedMidi>& midi)
{
    StereoBuffer out;
    out.left.assign(static_cast<size_t>(frames), 0.0f);
    out.right.assign(static_cast<size_t>(frames), 0.0f);
    std::vector<TimedMidi> ordered = midi;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const TimedMidi& a, const TimedMidi& b) { return a.frame < b.frame; });
    size_t next = 0;
    for (int64_t start = 0; start < frames; start += blockSize) {
        const auto length = static_cast<VstInt32>(std::min<int64_t>(blockSize, frames - start));
        std::vector<std::pair<VstInt32, std::vector<uint8_t>>> block;
        while (next < ordered.size() && ordered[next].frame < start + length) {
            const TimedMidi& message = ordered[next++];
            block.push_back({static_cast<VstInt32>(std::max<int64_t>(message.frame - start, 0)),
                             {message.bytes[0], message.bytes[1], message.bytes[2]}});
        }
        if (!block.empty())
            sendMidi(block);
        process(out.left.data() + start, out.right.data() + start, length);
    }
    return out;
}
