// plinka-render: renders a Standard MIDI File to a WAV file through an
// instrument plug-in, as a host would: by default Plinka (built beside this
// program, or where its package installs it), or any instrument given with
// --plugin, VST 2, CLAP, VST3 or LV2 (told by its name; an LV2 one by its
// bundle or its URI). Without a song it renders the demo tune built in.
#include "PlinkaVersion.h"
#include "engine/SharedSettings.h"
#include "instrument/Identity.h"
#include "tools/bank/FxFile.h"
#include "tools/bank/TextBank.h"
#include "tools/bank/WholeFile.h"
#include "tools/demo/DemoSong.h"
#include "tools/host/DefaultPlugin.h"
#include "tools/host/InstrumentHost.h"
#include "tools/host/Vst2InstrumentHost.h"
#include "tools/midi/MidiFile.h"
#include "tools/render/ProgressBar.h"
#include "tools/render/SongRenderer.h"
#include "tools/render/WavWriter.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char kUsage[] = "usage: plinka-render [SONG.mid] [-o OUT.wav] [options]\n"
                      "Renders a Standard MIDI File (formats 0 and 1) to a WAV file through an\n"
                      "instrument plug-in. Without a song it renders its demo tune to plinka-demo.wav.\n"
                      "A render that clipped says so, with the largest --gain that would have avoided\n"
                      "it (Plinka only).\n"
                      "\n"
                      "  -o, --output FILE     the WAV file (default: the song's name with .wav)\n"
                      "  --plugin PATH         a VST 2 (.so, .dll), CLAP (.clap) or VST3 (.vst3)\n"
                      "                        instrument, or an LV2 one by its bundle (.lv2) or\n"
                      "                        its URI; default: Plinka, beside this program or\n"
                      "                        where its package installs it\n"
                      "  --rate HZ             sample rate, 8000..768000 (default 44100)\n"
                      "  --block FRAMES        frames per processing block, 1..65536 (default 512)\n"
                      "  --format pcm16|float  16-bit integer or 32-bit float samples (default pcm16)\n"
                      "  --tail SECONDS        audio after the last event, 0..600 (default 2); ends\n"
                      "                        early once the output has stayed silent\n"
                      "  --program CH:N        program N (1..128) on MIDI channel CH (1..16) at the\n"
                      "                        start; may be given more than once\n"
                      "  --bank FILE           loads a bank (.fxb), a program (.fxp) or a Plinka text\n"
                      "                        bank into the plug-in before rendering\n"
                      "  --ignore-program-changes\n"
                      "                        the song's own program changes are left out: the\n"
                      "                        bank's programs and --program's stand (without it,\n"
                      "                        the song's program changes win)\n"
                      "  --gain PERCENT        Plinka's gain, 0..200, over the bank's (a new\n"
                      "                        instance's is 50; a text bank without a gain line\n"
                      "                        plays at 100)\n"
                      "  --save-bank FILE      saves the plug-in's state after rendering (.fxp for a\n"
                      "                        program file, .txt for a Plinka text bank, else .fxb)\n"
                      "  --tracks              also writes each of the plug-in's other outputs that\n"
                      "                        sounds to a file of its own beside the WAV file\n"
                      "                        (OUT-pulse-1.wav, OUT-triangle.wav, ...) and says\n"
                      "                        which it wrote; Plinka's CLAP and VST3 builds have\n"
                      "                        one for each channel group\n"
                      "  -q, --quiet           no progress and no summary, only errors\n"
                      "  -h, --help            this text\n"
                      "  --version             the release of Plinka this program belongs to\n";

struct Options {
    std::string song;
    std::string output;
    std::string plugin;
    int rate = 44100;
    int block = 512;
    WavWriter::Format format = WavWriter::Format::Pcm16;
    double tail = 2.0;
    std::vector<std::pair<int, int>> programs;  // channel 0..15, program 0..127
    std::string bank;
    std::string saveBank;
    bool tracks = false;
    bool quiet = false;
    bool ignoreProgramChanges = false;
    int gain = -1;  // percent; -1: the bank's
};

constexpr uint8_t kProgramChange = 0xC0;
constexpr uint8_t kStatusKind = 0xF0;

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool parseInt(const std::string& text, long low, long high, long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == 0 && errno == 0 && value >= low && value <= high;
}

// Answers an error message, or empty when the options are sound.
std::string parseOptions(int argc, char** argv, Options& options, bool& help, bool& version)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string text;
        long number = 0;
        if (arg == "-h" || arg == "--help") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--tracks") {
            options.tracks = true;
        } else if (arg == "--ignore-program-changes") {
            options.ignoreProgramChanges = true;
        } else if (arg == "--gain") {
            if (!value(text) || !parseInt(text, 0, kMaxGain, number))
                return "--gain takes a percentage from 0 to 200";
            options.gain = static_cast<int>(number);
        } else if (arg == "-o" || arg == "--output") {
            if (!value(options.output))
                return arg + " needs a file name";
        } else if (arg == "--plugin") {
            if (!value(options.plugin))
                return "--plugin needs a path";
        } else if (arg == "--rate") {
            if (!value(text) || !parseInt(text, 8000, 768000, number))
                return "--rate takes a sample rate from 8000 to 768000";
            options.rate = static_cast<int>(number);
        } else if (arg == "--block") {
            if (!value(text) || !parseInt(text, 1, 65536, number))
                return "--block takes a block size from 1 to 65536";
            options.block = static_cast<int>(number);
        } else if (arg == "--format") {
            if (!value(text) || (text != "pcm16" && text != "float"))
                return "--format takes pcm16 or float";
            options.format = text == "float" ? WavWriter::Format::Float : WavWriter::Format::Pcm16;
        } else if (arg == "--tail") {
            char* end = nullptr;
            if (!value(text))
                return "--tail takes seconds from 0 to 600";
            options.tail = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != 0 || !(options.tail >= 0.0 && options.tail <= 600.0))
                return "--tail takes seconds from 0 to 600";
        } else if (arg == "--program") {
            const size_t colon = value(text) ? text.find(':') : std::string::npos;
            long channel = 0, program = 0;
            if (colon == std::string::npos || !parseInt(text.substr(0, colon), 1, 16, channel) ||
                !parseInt(text.substr(colon + 1), 1, 128, program))
                return "--program takes CHANNEL:PROGRAM, a channel from 1 to 16 and a program from 1 to 128";
            options.programs.push_back({static_cast<int>(channel - 1), static_cast<int>(program - 1)});
        } else if (arg == "--bank") {
            if (!value(options.bank))
                return "--bank needs a file name";
        } else if (arg == "--save-bank") {
            if (!value(options.saveBank))
                return "--save-bank needs a file name";
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (options.song.empty()) {
            options.song = arg;
        } else {
            return "more than one song given: " + options.song + " and " + arg;
        }
    }
    if (options.output.empty()) {
        if (options.song.empty()) {
            options.output = "plinka-demo.wav";
        } else {
            // The song's own name, by the platform's separators (Windows takes both).
            std::string name = std::filesystem::path(options.song).filename().string();
            if (endsWith(name, ".mid") || endsWith(name, ".MID"))
                name.resize(name.size() - 4);
            options.output = name + ".wav";
        }
    }
    return {};
}

// A Plinka text bank's chunk; the first problem in the text is the error.
bool chunkFromText(const std::string& text, const std::string& name, std::vector<unsigned char>& chunk,
                   std::string& error)
{
    const std::unique_ptr<textbank::State> state = textbank::makeDefault();
    std::vector<std::string> errors;
    if (!textbank::parse(text, name, *state, errors)) {
        error = errors.empty() ? name + ": not a text bank" : errors.front();
        return false;
    }
    chunk = textbank::toChunk(*state);
    return true;
}

// The bank file's chunk, whatever its kind: .fxb, .fxp or a text bank.
bool readBank(const std::string& path, int32_t pluginId, std::vector<unsigned char>& chunk, std::string& error)
{
    std::vector<unsigned char> bytes;
    if (!wholefile::read(path, bytes, error))
        return false;
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "CcnK", 4) == 0) {
        fx::File file;
        if (!fx::read(bytes.data(), bytes.size(), file, error)) {
            error = path + ": " + error;
            return false;
        }
        if (file.fxID != pluginId) {
            error = path + ": made for plug-in '" + fx::idText(file.fxID) + "', not '" + fx::idText(pluginId) + "'";
            return false;
        }
        chunk = std::move(file.chunk);
        return true;
    }
    if (pluginId != fx::fourCC('p', 'l', 'n', 'k')) {
        error = path + ": a text bank is Plinka's, and the plug-in is '" + fx::idText(pluginId) + "'";
        return false;
    }
    return chunkFromText(std::string(bytes.begin(), bytes.end()), path, chunk, error);
}

bool saveBank(const std::string& path, InstrumentHost& host, std::string& error)
{
    if (auto* vst2 = dynamic_cast<Vst2InstrumentHost*>(&host))
        vst2->programFile = endsWith(path, ".fxp");
    std::vector<uint8_t> chunk;
    if (!host.saveState(chunk)) {
        error = path + ": " + host.error();
        return false;
    }
    const FxIdentity identity = host.fxIdentity();
    if (endsWith(path, ".txt")) {
        if (identity.id != fx::fourCC('p', 'l', 'n', 'k')) {
            error = path + ": only Plinka's state can be saved as a text bank";
            return false;
        }
        const std::unique_ptr<textbank::State> state = textbank::makeDefault();
        textbank::loadChunk(chunk.data(), chunk.size(), *state);
        const std::string text = textbank::write(*state);
        return wholefile::writeAtomically(path, text.data(), text.size(), error);
    }
    if (identity.id == 0) {
        error = path + ": this plug-in has no VST 2 bank files";
        return false;
    }
    fx::File file;
    file.kind = endsWith(path, ".fxp") ? fx::Kind::Program : fx::Kind::Bank;
    file.fxID = identity.id;
    file.fxVersion = identity.version;
    file.numPrograms = file.kind == fx::Kind::Bank ? identity.numPrograms : identity.numParams;
    file.programName = identity.programName;
    file.chunk.assign(chunk.begin(), chunk.end());
    return fx::writeFile(path, file, error);
}

// Plinka's state as the host saves it, read into a bank.
bool plinkaState(InstrumentHost& host, textbank::State& state, std::string& error)
{
    std::vector<uint8_t> chunk;
    if (!host.saveState(chunk)) {
        error = host.error();
        return false;
    }
    textbank::resetToDefault(state);
    textbank::loadChunk(chunk.data(), chunk.size(), state);
    return true;
}

// The gain goes in through the state, as a song's would: every format of
// Plinka saves and loads the same chunk, and a state loaded wins over the
// LV2 build's gain port until the port moves.
// Loads a state into the plug-in. Where Plinka's gain and clock are control
// ports (LV2), the ports decide over a restored state's: its settings go
// there too, as a preset's would.
bool loadState(InstrumentHost& host, const std::vector<uint8_t>& bytes)
{
    if (!host.loadState(bytes))
        return false;
    if (host.fxIdentity().id == kPlinkaUniqueId) {
        const std::unique_ptr<textbank::State> state = textbank::makeDefault();
        textbank::loadChunk(bytes.data(), bytes.size(), *state);
        host.setControl("gain", static_cast<float>(state->settings.gain));
        host.setControl("clock", static_cast<float>(state->settings.ntsc));
    }
    return true;
}

bool setPlinkaGain(InstrumentHost& host, int gain, std::string& error)
{
    if (host.fxIdentity().id != kPlinkaUniqueId) {
        error = "--gain sets Plinka's gain; this plug-in is another instrument";
        return false;
    }
    const std::unique_ptr<textbank::State> state = textbank::makeDefault();
    if (!plinkaState(host, *state, error))
        return false;
    state->settings.gain = gain;
    if (!loadState(host, textbank::toChunk(*state))) {
        error = host.error();
        return false;
    }
    return true;
}

// The largest gain that keeps every sample of the render below full scale, or
// -1 where it cannot be told. Plinka limits its output to full scale, so what
// clipped says nothing of how far over it went: the song is rendered again,
// to no file, by a fresh instance of the plug-in at 1 %, where nothing clips
// and the output is the mix a hundredth as loud.
int unclippedGain(const std::string& pluginPath, const std::vector<uint8_t>& startState,
                  const std::vector<TimedMidi>& messages, int64_t songEnd, const RenderSettings& settings)
{
    constexpr int kProbeGain = 1;
    const std::unique_ptr<InstrumentHost> probe = makeInstrumentHost(pluginPath);
    std::string error;
    if (!probe || !probe->load(pluginPath))
        return -1;
    probe->start(settings.sampleRate, settings.blockSize, true);
    RenderReport report;
    const std::function<void(double)> noProgress = [](double) {};
    if (!loadState(*probe, startState) || !setPlinkaGain(*probe, kProbeGain, error) ||
        !renderSong(*probe, messages, songEnd, settings, nullptr, noProgress, report, error))
        return -1;
    probe->stop();
    if (report.peak <= 0.0f)
        return kMaxGain;
    // Below full scale: the gain g plays the peak at g * peak, strictly under 1.
    const double limit = kProbeGain / static_cast<double>(report.peak);
    const int gain = static_cast<int>(std::ceil(limit)) - 1;
    return std::clamp(gain, 0, kMaxGain);
}

// The file of one of the plug-in's extra outputs beside the main one's:
// "song.wav" and "Pulse 1" make "song-pulse-1.wav".
std::string trackPath(const std::string& output, const std::string& name)
{
    std::string base = output;
    if (endsWith(base, ".wav") || endsWith(base, ".WAV"))
        base.resize(base.size() - 4);
    std::string slug;
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            slug += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        else if (!slug.empty() && slug.back() != '-')
            slug += '-';
    }
    while (!slug.empty() && slug.back() == '-')
        slug.pop_back();
    return base + "-" + (slug.empty() ? "output" : slug) + ".wav";
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "plinka-render: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    bool help = false;
    bool version = false;
    if (const std::string problem = parseOptions(argc, argv, options, help, version); !problem.empty()) {
        std::fprintf(stderr, "plinka-render: %s\n%s", problem.c_str(), kUsage);
        return 2;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (version) {
        std::printf("plinka-render %s\n", kPlinkaRelease);
        return 0;
    }
    const bool demo = options.song.empty();
    const bool talk = !options.quiet && isatty(STDERR_FILENO);

    MidiSong song;
    std::string error;
    if (demo ? !readMidiFile(kDemoSong, kDemoSongSize, song, error) : !loadMidiFile(options.song, song, error))
        return fail(error);

    const std::string pluginPath = options.plugin.empty() ? defaultPluginPath() : options.plugin;
    const std::unique_ptr<InstrumentHost> made = makeInstrumentHost(pluginPath);
    if (!made)
        return fail(pluginPath + ": this build of plinka-render has no host for that plug-in format");
    InstrumentHost& host = *made;
    if (!host.load(pluginPath))
        return fail(host.error());
    host.start(options.rate, options.block, true);

    std::vector<unsigned char> bank;
    if (demo && options.bank.empty() && options.plugin.empty()) {
        if (!chunkFromText(std::string(reinterpret_cast<const char*>(kDemoBank), kDemoBankSize), "demo bank", bank,
                           error))
            return fail(error);
    } else if (!options.bank.empty() && !readBank(options.bank, host.fxIdentity().id, bank, error)) {
        return fail(error);
    }
    if (!bank.empty()) {
        if (auto* vst2 = dynamic_cast<Vst2InstrumentHost*>(&host))
            vst2->programFile = options.bank.size() > 4 && endsWith(options.bank, ".fxp");
        if (!loadState(host, bank))
            return fail(host.error());
    }
    if (options.gain >= 0 && !setPlinkaGain(host, options.gain, error))
        return fail(error);
    // What a second look at a clipped render starts from.
    std::vector<uint8_t> startState;
    const bool plinka = host.fxIdentity().id == kPlinkaUniqueId;
    if (plinka && !host.saveState(startState))
        return fail(host.error());

    std::vector<TimedMidi> messages;
    for (const auto& [channel, program] : options.programs)
        messages.push_back({0, {static_cast<uint8_t>(kProgramChange | channel), static_cast<uint8_t>(program), 0}});
    for (const MidiEvent& event : song.events)
        if (!options.ignoreProgramChanges || (event.bytes[0] & kStatusKind) != kProgramChange)
            messages.push_back({static_cast<int64_t>(std::llround(event.seconds * options.rate)),
                                {event.bytes[0], event.bytes[1], event.size > 2 ? event.bytes[2] : uint8_t{0}}});
    const auto songEnd = static_cast<int64_t>(std::llround(song.lengthSeconds * options.rate));

    RenderSettings settings;
    settings.sampleRate = options.rate;
    settings.blockSize = options.block;
    settings.tailSeconds = options.tail;
    settings.channels = host.outputChannels();
    for (const TempoPoint& tempo : song.tempos)
        settings.tempos.emplace_back(std::llround(tempo.seconds * options.rate), tempo.beatsPerMinute);
    WavWriter out;
    if (!out.open(options.output, options.rate, settings.channels, options.format, error))
        return fail(error);
    std::vector<std::unique_ptr<WavWriter>> tracks;
    std::vector<WavWriter*> trackWriters;
    if (options.tracks) {
        const std::vector<std::string> names = host.extraOutputs();
        if (names.empty())
            return fail("--tracks: " + pluginPath +
                        " has no outputs beside the main one (Plinka's CLAP and VST3 builds have them)");
        for (const std::string& name : names) {
            tracks.push_back(std::make_unique<WavWriter>());
            if (!tracks.back()->open(trackPath(options.output, name), options.rate, 2, options.format, error))
                return fail(error);
            trackWriters.push_back(tracks.back().get());
        }
    }
    ProgressBar progress(talk);
    RenderReport report;
    const bool rendered = renderSong(
        host, messages, songEnd, settings, &out, [&](double done) { progress.update(done); }, report, error,
        trackWriters);
    progress.finish();
    if (!rendered)
        return fail(error);
    host.stop();
    if (!options.saveBank.empty() && !saveBank(options.saveBank, host, error))
        return fail(error);
    if (!out.finish(error))
        return fail(error);
    // Outputs that never sounded get no file.
    const std::vector<std::string> trackNames = options.tracks ? host.extraOutputs() : std::vector<std::string>{};
    std::string written, silent;
    for (size_t t = 0; t < tracks.size(); ++t) {
        if (report.trackPeaks[t] <= kSilentLevel) {
            tracks[t]->abandon();
            silent += (silent.empty() ? "" : ", ") + trackNames[t];
        } else if (!tracks[t]->finish(error)) {
            return fail(error);
        } else {
            written += (written.empty() ? "" : ", ") +
                       std::filesystem::path(trackPath(options.output, trackNames[t])).filename().string();
        }
    }
    if (options.tracks && !options.quiet)
        std::printf("tracks written: %s%s%s\n", written.empty() ? "none" : written.c_str(),
                    silent.empty() ? "" : "; silent, not written: ", silent.c_str());

    // A clipped render says so even off a terminal, with the gain that avoids it.
    std::string clipped;
    if (report.clipped > 0) {
        clipped = std::to_string(report.clipped) + " clipped samples";
        const int gain = plinka ? unclippedGain(pluginPath, startState, messages, songEnd, settings) : -1;
        if (gain >= 0)
            clipped += " (--gain " + std::to_string(gain) + " or lower avoids it)";
    }
    if (talk) {
        const double seconds = static_cast<double>(report.frames) / options.rate;
        const double peakDb = report.peak > 0.0f ? 20.0 * std::log10(report.peak) : -INFINITY;
        std::printf("%s: %.1f s of audio, peak %.1f dBFS, %s, %.0fx realtime\n", options.output.c_str(), seconds,
                    peakDb, clipped.empty() ? "no clipped samples" : clipped.c_str(),
                    report.seconds > 0.0 ? seconds / report.seconds : 0.0);
    } else if (!clipped.empty() && !options.quiet) {
        std::fprintf(stderr, "plinka-render: %s: %s\n", options.output.c_str(), clipped.c_str());
    }
    return 0;
}
