// plinka-info: loads a VST 2 plug-in as a host does and prints what a host
// shows of it: identity, capabilities and the program list.
//   plinka-info [PLUGIN]     (default: the PLINKA.so beside this program)
#include "host/PluginHost.h"
#include "host/ProgramPath.h"

#include <cstdio>
#include <string>

namespace {

const char* yesNo(bool value)
{
    return value ? "yes" : "no";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: plinka-info [PLUGIN]\n");
        return 2;
    }
    const std::string path = argc == 2 ? argv[1] : pathBesideThisProgram("PLINKA.so");

    PluginHost host;
    if (!host.load(path)) {
        std::fprintf(stderr, "plinka-info: %s\n", host.error().c_str());
        return 1;
    }
    host.start();
    const AEffect* effect = host.effect();
    const char id[5] = {static_cast<char>(effect->uniqueID >> 24), static_cast<char>(effect->uniqueID >> 16),
                        static_cast<char>(effect->uniqueID >> 8), static_cast<char>(effect->uniqueID), 0};

    std::printf("%s\n", path.c_str());
    std::printf("  name:        %s\n", host.effectName().c_str());
    std::printf("  vendor:      %s (version %ld)\n", host.vendorString().c_str(),
                static_cast<long>(host.dispatch(effGetVendorVersion)));
    std::printf("  unique id:   '%s'   VST version %ld\n", id, static_cast<long>(host.dispatch(effGetVstVersion)));
    std::printf("  synth:       %s   editor: %s   chunks: %s   replacing: %s\n", yesNo(effect->flags & effFlagsIsSynth),
                yesNo(effect->flags & effFlagsHasEditor), yesNo(effect->flags & effFlagsProgramChunks),
                yesNo(effect->flags & effFlagsCanReplacing));
    std::printf("  inputs:      %d   outputs: %d   parameters: %d   MIDI input channels: %ld\n", effect->numInputs,
                effect->numOutputs, effect->numParams, static_cast<long>(host.dispatch(effGetNumMidiInputChannels)));
    std::printf("  programs:    %d\n", effect->numPrograms);
    const VstIntPtr current = host.dispatch(effGetProgram);
    for (VstInt32 program = 0; program < effect->numPrograms; ++program) {
        host.dispatch(effSetProgram, 0, program);
        std::printf("    %s\n", host.programName().c_str());
    }
    host.dispatch(effSetProgram, 0, current);
    host.dispatch(effMainsChanged, 0, 0);
    host.close();
    return 0;
}
