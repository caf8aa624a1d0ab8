#include "Vst2InstrumentHost.h"

bool Vst2InstrumentHost::load(const std::string& path)
{
    path_ = path;
    if (!host.load(path))
        return false;
    const AEffect& effect = *host.effect();
    if (!(effect.flags & effFlagsCanReplacing) || effect.numOutputs < 1) {
        error_ = path + ": the plug-in has no audio output this host can use";
        return false;
    }
    return true;
}

void Vst2InstrumentHost::start(double sampleRate, int32_t maxBlock, bool offline)
{
    host.processLevelAnswer = offline ? kVstProcessLevelOffline : kVstProcessLevelRealtime;
    host.start(static_cast<float>(sampleRate), maxBlock);
}

void Vst2InstrumentHost::stop()
{
    host.dispatch(effMainsChanged, 0, 0);
}

void Vst2InstrumentHost::process(const BlockMidi& midi, float* left, float* right, int32_t frames)
{
    if (!midi.empty())
        host.sendMidi(midi);
    host.process(left, right, frames);
}

bool Vst2InstrumentHost::saveState(std::vector<uint8_t>& state)
{
    state = host.getChunk(programFile);
    return true;
}

bool Vst2InstrumentHost::loadState(const std::vector<uint8_t>& state)
{
    if (!(host.effect()->flags & effFlagsProgramChunks)) {
        error_ = path_ + ": the plug-in does not take banks as chunks";
        return false;
    }
    host.setChunk(state, programFile);
    return true;
}

FxIdentity Vst2InstrumentHost::fxIdentity()
{
    const AEffect& effect = *host.effect();
    return {effect.uniqueID, effect.version, effect.numPrograms, effect.numParams, host.programName()};
}
