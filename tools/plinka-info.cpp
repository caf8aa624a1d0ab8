// plinka-info: loads an instrument plug-in as a host does and prints what a
// host shows of it: identity, capabilities and, for VST 2, the program list.
//   plinka-info [PLUGIN]     (default: Plinka, beside this program or where
//                             its package installs it; a .clap or .vst3 is
//                             loaded as one of those, an .lv2 bundle or a
//                             URI as LV2)
//   plinka-info --version
#include "PlinkaVersion.h"
#include "host/DefaultPlugin.h"
#include "host/InstrumentHost.h"
#include "host/Vst2InstrumentHost.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

const char* yesNo(bool value)
{
    return value ? "yes" : "no";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("plinka-info %s\n", kPlinkaRelease);
        return 0;
    }
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: plinka-info [PLUGIN]\n       plinka-info --version\n");
        return 2;
    }
    const std::string path = argc == 2 ? argv[1] : defaultPluginPath();

    const std::unique_ptr<InstrumentHost> made = makeInstrumentHost(path);
    if (!made) {
        std::fprintf(stderr, "plinka-info: %s: this build has no host for that plug-in format\n", path.c_str());
        return 1;
    }
    if (!made->load(path)) {
        std::fprintf(stderr, "plinka-info: %s\n", made->error().c_str());
        return 1;
    }
    auto* vst2 = dynamic_cast<Vst2InstrumentHost*>(made.get());
    if (!vst2) {
        made->start(44100.0, 512, false);
        std::printf("%s\n", path.c_str());
        std::printf("  name:        %s\n", made->name().c_str());
        std::printf("  vendor:      %s\n", made->vendor().c_str());
        std::printf("  outputs:     %d\n", made->outputChannels());
        if (const std::string uri = made->uri(); !uri.empty())
            std::printf("  uri:         %s\n", uri.c_str());
        made->stop();
        return 0;
    }
    PluginHost& host = vst2->host;
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
    return 0;
}
