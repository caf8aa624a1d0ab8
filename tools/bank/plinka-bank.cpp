// plinka-bank: converts between VST bank files (.fxb/.fxp holding Plinka's
// chunk) and text banks, writes the default bank, and checks every envelope
// text with the instrument's own compiler. Tracker instruments (.fti) come in
// as programs of a text bank and go out from a program of any bank file, and
// so do the 2A03, VRC6, FDS, N163 and 5B instruments of a tracker module
// (.ftm, .0cc, .dnm, or its text export);
// delta-modulation samples (.dmc) go into a bank's samples and out of them.
//
// Exit status: 0 done (a conversion still writes texts that do not compile,
// and warns about each), 1 check found texts that do not compile, 2 usage or
// file errors (nothing is written then).
#include "FxFile.h"
#include "PlinkaVersion.h"
#include "TextBank.h"
#include "WholeFile.h"
#include "engine/KeyMap.h"
#include "engine/SampleBank.h"
#include "instrument/BankText.h"
#include "instrument/FtiConversion.h"
#include "instrument/FtiFile.h"
#include "instrument/Identity.h"
#include "instrument/ModuleFile.h"
#include "instrument/SampleFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = "usage:\n"
                               "  plinka-bank to-text BANK.fxb|PRESET.fxp [-o BANK.txt] [--all] [--ignore-id]\n"
                               "  plinka-bank to-fxb BANK.txt -o BANK.fxb\n"
                               "  plinka-bank to-fxp BANK.txt -o PRESET.fxp\n"
                               "  plinka-bank check BANK.txt|BANK.fxb|PRESET.fxp [--ignore-id]\n"
                               "  plinka-bank default [-o BANK.txt|BANK.fxb|PRESET.fxp] [--all]\n"
                               "  plinka-bank from-fti INSTRUMENT.fti... [--program N] [--channel TYPE]\n"
                               "                       [--channel FILE=TYPE]... [--into BANK]\n"
                               "                       [-o BANK.txt|BANK.fxb|PRESET.fxp]\n"
                               "  plinka-bank from-module SONG.ftm|SONG.0cc|SONG.dnm|SONG.txt [--program N] [--into BANK]\n"
                               "                          [-o BANK.txt|BANK.fxb|PRESET.fxp] [--list]\n"
                               "  plinka-bank to-fti BANK.txt|BANK.fxb|PRESET.fxp --program N -o INSTRUMENT.fti\n"
                               "  plinka-bank add-sample BANK.txt|BANK.fxb|PRESET.fxp FILE.wav|FILE.dmc...\n"
                               "                         [--name NAME] [--rate 0-15]\n"
                               "                         -o BANK.txt|BANK.fxb|PRESET.fxp\n"
                               "  plinka-bank export-dmc BANK.txt|BANK.fxb|PRESET.fxp --sample NAME -o FILE.dmc\n"
                               "  plinka-bank --version\n"
                               "\n"
                               "default, from-fti and add-sample write the kind of file -o names: a VST bank\n"
                               "(.fxb), a program file (.fxp), else a text bank; a name that says another\n"
                               "kind than a command writes (to-text -o BANK.fxb) is refused.\n"
                               "Without -o, to-text and default print the text bank. A text bank lists the\n"
                               "factory slots (programs 1-9) and every program that differs from the default\n"
                               "bank; --all lists all 128. --ignore-id reads a file made for another plug-in.\n"
                               "Every envelope text and key map is compiled as the instrument does; check\n"
                               "reports each one that fails, conversions warn about it and write the file\n"
                               "all the same. Exit status: 0 done, 1 check found texts that fail, 2 usage\n"
                               "or file errors.\n"
                               "from-fti puts tracker instruments into programs N, N+1, ... (from 1) of the\n"
                               "default bank, or of the bank --into names, or of the bank -o names when it\n"
                               "exists (it says so); into a bank without --program they fill the programs\n"
                               "past the factory presets that are as the default bank has them, and the\n"
                               "bank's samples stay. --into BANK without -o writes BANK again. Each plays\n"
                               "the channel TYPE given (pulse, triangle, noise, sample, vrc6-pulse,\n"
                               "vrc6-saw, 5b, mmc5-pulse, fds, n163 or vrc7), for one file with --channel\n"
                               "FILE=TYPE (repeat it per file); if none, vrc6-pulse for a VRC6 instrument,\n"
                               "5b for a 5B one, fds for an FDS one, n163 for an N163 one (their waves and\n"
                               "the FDS modulator go into the wave text; the tracker's N163 wave position\n"
                               "does not: Plinka places waves itself), vrc7 for a VRC7 one (its patch and\n"
                               "custom bytes), sample for one with DPCM keys,\n"
                               "noise for one whose name says a noise drum (noise, hat, snare, cymbal,\n"
                               "...) or whose fixed notes lie below the pulse's range, else pulse: the note says\n"
                               "which and why. A Sample program takes the DPCM keys as its key map (the\n"
                               "tracker's C-0 is key 12), their samples go into the bank, and the Volume and\n"
                               "Arp sequences, which the tracker's sample channel does not play, stay out.\n"
                               "to-fti writes program N as a version 2.4 instrument (a VRC6 one for the VRC6\n"
                               "channels, a 5B one for the 5B, an FDS or N163 one with its wave for those,\n"
                               "wave position 0, a VRC7 one with its patch and custom bytes, no sustain\n"
                               "and no sequences, else a 2A03 one), a Sample program with its key map and\n"
                               "the samples it plays. Both\n"
                               "report on standard error what they could not carry over exactly.\n"
                               "from-module puts every 2A03, VRC6, VRC7, FDS, N163 and 5B instrument of a\n"
                               "tracker module (or of its text export) into programs as from-fti does, in the\n"
                               "module's order, each on the channel its songs play it on most (one they do\n"
                               "not play on the one from-fti would choose), its DPCM samples into the bank, a VRC7\n"
                               "one the module's own patch bytes where its PARAMS_EMU replaces the chip's\n"
                               "built-in patches (one line says so); an instrument of\n"
                               "another chip, or one that is damaged, is skipped with one line. --list\n"
                               "prints the instruments and what would become of each, writing nothing.\n"
                               "add-sample puts samples into the bank, each named after its file without\n"
                               "the extension (characters a name cannot hold become '_', cut at 31), or\n"
                               "NAME for a single file; a sample of the same name is replaced. A WAV file\n"
                               "(PCM 8, 16, 24 or 32 bits or float, any rate up to 768 kHz, mixed to mono)\n"
                               "is converted to delta-modulation bytes at rate --rate (0-15, default 15,\n"
                               "the fastest) and cut to the longest sample, 4081 bytes; a .dmc file (the\n"
                               "bytes as the console stores them) is taken as it is, padded to a length\n"
                               "the console plays (16 * L + 1) or cut at 4081 bytes, with a note.\n"
                               "export-dmc writes one sample's bytes as they are.\n";

// The plug-in's AEffect version, which hosts write as a file's fxVersion.
constexpr int32_t kPlinkaFxVersion = 1;
// A program file describes the parameters, and Plinka has none.
constexpr int32_t kPlinkaParameterCount = 0;

constexpr int kExitDone = 0;
constexpr int kExitCheckFailed = 1;
constexpr int kExitError = 2;

struct Options {
    std::string command;
    std::string input;
    std::vector<std::string> moreInputs;  // from-fti's files after the first
    std::string output;
    int program = 0;  // 1-based; 0: not given
    int32_t channel = Pulse;
    bool channelGiven = false;  // else each instrument's own, as fticonversion::chooseChannel has it
    std::vector<std::pair<std::string, int32_t>> fileChannels;  // --channel FILE=TYPE
    std::string into;                                           // from-fti's --into BANK
    bool allPrograms = false;
    bool ignoreId = false;
    bool list = false;       // from-module's --list
    std::string sampleName;  // add-sample's --name, export-dmc's --sample
    std::string sampleFlag;  // which of the two gave it
    int rate = -1;           // add-sample's --rate; -1: not given
};

// A bank as loaded from a file, with where its texts came from.
struct Loaded {
    std::unique_ptr<textbank::State> state = textbank::makeDefault();
    bool fromText = false;
    textbank::SourceLines lines;
};

int usageError(const std::string& message)
{
    std::fprintf(stderr, "plinka-bank: %s\n%s", message.c_str(), kUsage);
    return kExitError;
}

int fileError(const std::string& message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    return kExitError;
}

bool isFxFile(const std::vector<unsigned char>& bytes)
{
    return bytes.size() >= 4 && std::memcmp(bytes.data(), "CcnK", 4) == 0;
}

// What a file holds, as its name's extension says.
enum class Format { Unnamed, Text, Bank, Program, Fti, Dmc, Wav };

struct Extension {
    const char* text;  // lower case
    Format format;
};
constexpr Extension kExtensions[] = {
    {".txt", Format::Text}, {".fxb", Format::Bank}, {".fxp", Format::Program},
    {".fti", Format::Fti},  {".dmc", Format::Dmc},  {".wav", Format::Wav},
};

Format formatOfName(const std::string& path)
{
    const std::string name = std::filesystem::path(path).filename().string();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return Format::Unnamed;
    std::string extension = name.substr(dot);
    for (char& c : extension)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    for (const Extension& known : kExtensions)
        if (extension == known.text)
            return known.format;
    return Format::Unnamed;
}

bool hasFxExtension(const std::string& path)
{
    const Format format = formatOfName(path);
    return format == Format::Bank || format == Format::Program;
}

// What a command writes to -o FILE. The commands that make a bank write the
// kind the name says (.fxb, .fxp, else a text bank), as plinka-render's
// --save-bank does; the others write their one kind.
Format formatWritten(const std::string& command, const std::string& output)
{
    if (command == "to-fxb")
        return Format::Bank;
    if (command == "to-fxp")
        return Format::Program;
    if (command == "to-fti")
        return Format::Fti;
    if (command == "export-dmc")
        return Format::Dmc;
    const Format named = formatOfName(output);
    if (command != "to-text" && (named == Format::Bank || named == Format::Program))
        return named;
    return Format::Text;
}

const char* formatName(Format format)
{
    switch (format) {
    case Format::Text:
    case Format::Unnamed:
        return "a text bank";
    case Format::Bank:
        return "a VST bank (.fxb)";
    case Format::Program:
        return "a VST program file (.fxp)";
    case Format::Fti:
        return "a tracker instrument (.fti)";
    case Format::Dmc:
        return "a sample's bytes (.dmc)";
    case Format::Wav:
        return "a WAV file";
    }
    return "";
}

// Loads the input for the command; answers kExitDone or kExitError after
// reporting the problem.
int load(const Options& options, const std::string& path, Loaded& loaded)
{
    std::vector<unsigned char> bytes;
    std::string error;
    if (!wholefile::read(path, bytes, error))
        return fileError(error);
    const bool wantsText = options.command == "to-fxb" || options.command == "to-fxp";
    const bool wantsFx = options.command == "to-text";

    if (isFxFile(bytes)) {
        if (wantsText)
            return fileError(path + ": is a VST bank or program file; " + options.command +
                             " reads text banks (to-text converts this one)");
        fx::File file;
        if (!fx::read(bytes.data(), bytes.size(), file, error))
            return fileError(path + ": " + error);
        if (const std::string foreign = fx::foreignIdMessage(file, kPlinkaUniqueId, kPlinkaEffectName);
            !foreign.empty()) {
            if (!options.ignoreId)
                return fileError(path + ": " + foreign + " (--ignore-id reads it anyway)");
            std::fprintf(stderr, "%s: warning: %s\n", path.c_str(), foreign.c_str());
        }
        if (file.chunk.size() > chunk::kMaxBytes)
            return fileError(path + ": its chunk of " + std::to_string(file.chunk.size()) +
                             " bytes is larger than Plinka loads (" + std::to_string(chunk::kMaxBytes) + ")");
        if (!textbank::startsLikeAChunk(file.chunk.data(), file.chunk.size()))
            return fileError(path + ": its chunk is not a Plinka state (it does not start with Plinka's header)");
        if (!textbank::endsLikeAChunk(file.chunk.data(), file.chunk.size()))
            std::fprintf(stderr,
                         "%s: warning: its chunk is cut short or damaged (no end mark); what it lacks is taken "
                         "from the default bank\n",
                         path.c_str());
        textbank::loadChunk(file.chunk.data(), file.chunk.size(), *loaded.state);
        return kExitDone;
    }
    if (wantsFx || hasFxExtension(path))
        return fileError(path + ": not a VST bank or program file (it does not start with 'CcnK')");

    std::vector<std::string> errors;
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!textbank::parse(text, path, *loaded.state, errors, &loaded.lines)) {
        for (const std::string& line : errors)
            std::fprintf(stderr, "%s\n", line.c_str());
        return kExitError;
    }
    loaded.fromText = true;
    return kExitDone;
}

// Prints one line per envelope text or key map that fails to compile;
// answers how many of each.
struct Failing {
    size_t envelopes = 0;
    size_t keyMaps = 0;
    size_t waves = 0;
};
Failing reportEnvelopes(const Options& options, const Loaded& loaded, std::FILE* to)
{
    Failing failing;
    for (const textbank::EnvelopeError& error : textbank::checkEnvelopes(*loaded.state)) {
        const bool keyMap = error.kind == textbank::kKeyMapKind;
        ++(keyMap ? failing.keyMaps : error.kind == textbank::kWaveKind ? failing.waves : failing.envelopes);
        std::string where = options.input;
        if (loaded.fromText)
            if (const int line =
                    keyMap                                ? loaded.lines.keys[error.program]
                    : error.kind == textbank::kWaveKind ? loaded.lines.wave[error.program]
                                                          : loaded.lines.envelope[error.program][error.kind];
                line != 0) {
                // Appended piecewise: GCC 12 warns falsely (-Wrestrict) about "x" + string.
                where += ':';
                where += std::to_string(line);
            }
        std::fprintf(to, "%s: %s\n", where.c_str(), textbank::describe(*loaded.state, error).c_str());
    }
    return failing;
}

const char* doOrDoes(size_t count)
{
    return count == 1 ? " does" : "s do";
}

// A name that says one kind of file never gets another (no host loads a
// text bank named .fxb): answers kExitError after one line, or kExitDone.
// Asked just before writing, so that what is wrong with the inputs is told
// first.
int checkOutputName(const Options& options)
{
    if (options.output.empty())
        return kExitDone;
    const Format named = formatOfName(options.output);
    const Format written = formatWritten(options.command, options.output);
    if (named == Format::Unnamed || named == written)
        return kExitDone;
    return fileError("plinka-bank: " + options.command + " writes " + formatName(written) + ", not " +
                     formatName(named) + " as -o " + std::filesystem::path(options.output).filename().string() +
                     " says");
}

int writeText(const Options& options, const textbank::State& state)
{
    if (const int status = checkOutputName(options); status != kExitDone)
        return status;
    const std::string text = textbank::write(state, {options.allPrograms});
    if (options.output.empty()) {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
            return fileError("plinka-bank: cannot write to standard output");
        return kExitDone;
    }
    std::string error;
    if (!wholefile::writeAtomically(options.output, text.data(), text.size(), error))
        return fileError(error);
    return kExitDone;
}

int writeFx(const Options& options, const textbank::State& state, fx::Kind kind)
{
    if (const int status = checkOutputName(options); status != kExitDone)
        return status;
    fx::File file;
    file.kind = kind;
    file.fxID = kPlinkaUniqueId;
    file.fxVersion = kPlinkaFxVersion;
    file.chunk = textbank::toChunk(state);
    if (kind == fx::Kind::Bank) {
        file.numPrograms = kProgramCount;
    } else {
        // The chunk holds the whole state; the name is the one a host shows,
        // the program of the first MIDI channel.
        file.numPrograms = kPlinkaParameterCount;
        const int32_t program = state.settings.channelProgram[0];
        if (program >= 0 && program < kProgramCount)
            file.programName = std::string(state.programs[program].name).substr(0, fx::kProgramNameBytes - 1);
    }
    std::string error;
    if (!fx::writeFile(options.output, file, error))
        return fileError(error);
    return kExitDone;
}

// The bank in the kind of file its name asks for.
int writeBank(const Options& options, const textbank::State& state)
{
    switch (formatWritten(options.command, options.output)) {
    case Format::Bank:
        return writeFx(options, state, fx::Kind::Bank);
    case Format::Program:
        return writeFx(options, state, fx::Kind::Program);
    case Format::Unnamed:
    case Format::Text:
    case Format::Fti:
    case Format::Dmc:
    case Format::Wav:
        break;
    }
    return writeText(options, state);
}

bool parseArguments(int argc, char** argv, Options& options, std::string& problem)
{
    int& program = options.program;
    bool& channelGiven = options.channelGiven;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-o") {
            if (i + 1 == argc || !options.output.empty()) {
                problem = i + 1 == argc ? "-o needs a file name" : "-o given twice";
                return false;
            }
            options.output = argv[++i];
        } else if (argument == "--program") {
            if (i + 1 == argc || program != 0) {
                problem = i + 1 == argc ? "--program needs a number" : "--program given twice";
                return false;
            }
            const std::string number = argv[++i];
            char* end = nullptr;
            const long value = std::strtol(number.c_str(), &end, 10);
            if (number.empty() || *end != 0 || value < 1 || value > kProgramCount) {
                problem = "--program takes a program from 1 to 128, not " + number;
                return false;
            }
            program = static_cast<int>(value);
        } else if (argument == "--channel") {
            const std::string value = i + 1 < argc ? argv[++i] : "";
            // FILE=TYPE names one file's channel; a type word holds no '='.
            const size_t equals = value.rfind('=');
            const std::string word = equals == std::string::npos ? value : value.substr(equals + 1);
            const int32_t type = banktext::channelTypeOfWord(word);
            if (type < 0 || equals == 0) {
                problem = "--channel takes " + banktext::channelWordList() + ", or FILE=TYPE";
                return false;
            }
            if (equals == std::string::npos) {
                options.channel = type;
                channelGiven = true;
            } else {
                options.fileChannels.push_back({value.substr(0, equals), type});
            }
        } else if (argument == "--into") {
            if (i + 1 == argc || !options.into.empty()) {
                problem = i + 1 == argc ? "--into needs a bank file" : "--into given twice";
                return false;
            }
            options.into = argv[++i];
        } else if (argument == "--name" || argument == "--sample") {
            if (i + 1 == argc || !options.sampleName.empty()) {
                problem = i + 1 == argc ? argument + " needs a sample name" : "--name or --sample given twice";
                return false;
            }
            options.sampleName = argv[++i];
            options.sampleFlag = argument;
            if (!isSampleName(options.sampleName)) {
                problem = argument + ": a sample name is 1 to 31 letters, digits, '_', '-' or '.', not \"" +
                          options.sampleName + "\"";
                return false;
            }
        } else if (argument == "--rate") {
            const std::string number = i + 1 < argc ? argv[++i] : "";
            char* end = nullptr;
            const long value = std::strtol(number.c_str(), &end, 10);
            if (number.empty() || *end != 0 || value < 0 || value > kMaxRateIndex || options.rate >= 0) {
                problem = options.rate >= 0 ? "--rate given twice" : "--rate takes a rate index from 0 to 15";
                return false;
            }
            options.rate = static_cast<int>(value);
        } else if (argument == "--all") {
            options.allPrograms = true;
        } else if (argument == "--list") {
            options.list = true;
        } else if (argument == "--ignore-id") {
            options.ignoreId = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            problem = "unknown option " + argument;
            return false;
        } else if (options.command.empty()) {
            options.command = argument;
        } else if (options.input.empty()) {
            options.input = argument;
        } else if (options.command == "from-fti" || options.command == "add-sample") {
            options.moreInputs.push_back(argument);
        } else {
            problem = "one input file only (" + argument + " is extra)";
            return false;
        }
    }
    const std::string& command = options.command;
    if (command.empty()) {
        problem = "no command";
        return false;
    }
    if (command != "to-text" && command != "to-fxb" && command != "to-fxp" && command != "check" &&
        command != "default" && command != "from-fti" && command != "to-fti" && command != "add-sample" &&
        command != "export-dmc" && command != "from-module") {
        problem = "unknown command " + command;
        return false;
    }
    if ((command == "default") != options.input.empty()) {
        problem = command == "default" ? "default takes no input file" : command + " needs an input file";
        return false;
    }
    if ((command == "to-fxb" || command == "to-fxp" || command == "to-fti" || command == "add-sample" ||
         command == "export-dmc") &&
        options.output.empty()) {
        problem = command + " needs -o FILE";
        return false;
    }
    if (command == "check" && !options.output.empty()) {
        problem = "check writes no file";
        return false;
    }
    if (options.ignoreId && command != "to-text" && command != "check") {
        problem = "--ignore-id is for reading .fxb/.fxp files";
        return false;
    }
    if (options.allPrograms && command != "to-text" && command != "default" && command != "from-fti" &&
        command != "from-module") {
        problem = "--all is for text output";
        return false;
    }
    if (options.sampleFlag == "--name" && command != "add-sample") {
        problem = "--name is for add-sample";
        return false;
    }
    if (options.sampleFlag == "--sample" && command != "export-dmc") {
        problem = "--sample is for export-dmc";
        return false;
    }
    if (command == "add-sample" && options.moreInputs.empty()) {
        problem = "add-sample needs a bank and at least one .dmc file";
        return false;
    }
    if (command == "add-sample" && !options.sampleName.empty() && options.moreInputs.size() > 1) {
        problem = "--name names a single sample; " + std::to_string(options.moreInputs.size()) + " files are given";
        return false;
    }
    if (command == "export-dmc" && options.sampleName.empty()) {
        problem = "export-dmc needs --sample NAME";
        return false;
    }
    if (options.rate >= 0 && command != "add-sample") {
        problem = "--rate is for add-sample";
        return false;
    }
    if (command == "to-fti" && program == 0) {
        problem = "to-fti needs --program N";
        return false;
    }
    if (program != 0 && command != "to-fti" && command != "from-fti" && command != "from-module") {
        problem = "--program is for from-fti, from-module and to-fti";
        return false;
    }
    if ((channelGiven || !options.fileChannels.empty()) && command != "from-fti") {
        problem = "--channel is for from-fti";
        return false;
    }
    if (!options.into.empty() && command != "from-fti" && command != "from-module") {
        problem = "--into is for from-fti and from-module";
        return false;
    }
    if (options.list && command != "from-module") {
        problem = "--list is for from-module";
        return false;
    }
    if (options.list && (!options.output.empty() || !options.into.empty() || options.allPrograms)) {
        problem = "--list writes nothing (no -o, --into or --all)";
        return false;
    }
    return true;
}

// The channel asked for a file: its own --channel FILE=TYPE (by the path as
// given or its file name; the last one given wins), else --channel TYPE; -1
// for none.
int32_t askedChannel(const Options& options, const std::string& path)
{
    int32_t asked = options.channelGiven ? options.channel : -1;
    const std::string name = std::filesystem::path(path).filename().string();
    for (const auto& [file, type] : options.fileChannels)
        if (file == path || file == name)
            asked = type;
    return asked;
}

// Where imported instruments go: the bank --into names, or the one -o names
// when it exists, which is added to rather than replaced, else the default
// bank; and the programs they take there, one per instrument.
struct Destination {
    Options writing;
    Loaded loaded;
    std::vector<int> targets;
    std::vector<std::string> report;  // lines to print before the instruments' notes
};

// Answers kExitDone, or kExitError after reporting the problem.
int openDestination(const Options& options, size_t count, Destination& destination)
{
    const int first = options.program == 0 ? 0 : options.program - 1;
    Options& writing = destination.writing;
    writing = options;
    std::string bankPath = options.into;
    std::error_code code;
    const bool outputExists = !options.output.empty() && std::filesystem::exists(options.output, code);
    if (bankPath.empty() && outputExists)
        bankPath = options.output;
    if (writing.output.empty())
        writing.output = options.into;
    if (!bankPath.empty())
        if (const int status = load(options, bankPath, destination.loaded); status != kExitDone)
            return status;
    textbank::State& state = *destination.loaded.state;

    std::vector<int>& targets = destination.targets;
    if (options.program != 0 || bankPath.empty()) {
        for (size_t i = 0; i < count; ++i)
            targets.push_back(first + static_cast<int>(i));
    } else {
        const std::vector<int> free = textbank::freePrograms(state);
        if (free.size() < count)
            return fileError(bankPath + ": " + std::to_string(free.size()) +
                             " programs are free (past the factory "
                             "presets and as the default bank has them), " +
                             std::to_string(count) + " instruments are given; --program N puts them from N on");
        targets.assign(free.begin(), free.begin() + static_cast<std::ptrdiff_t>(count));
    }

    if (!bankPath.empty()) {
        std::string programs;
        for (const int target : targets)
            programs += (programs.empty() ? "" : ", ") + std::to_string(target + 1);
        destination.report.push_back(
            bankPath + ": " +
            (options.into.empty() ? "exists; the instruments go into it" : "the instruments go into it") +
            ", its samples kept: program" + (targets.size() == 1 ? " " : "s ") + programs);
    }
    return kExitDone;
}

// Every file is read before anything is written: one bad file changes nothing.
int fromFti(const Options& options)
{
    std::vector<std::string> paths{options.input};
    paths.insert(paths.end(), options.moreInputs.begin(), options.moreInputs.end());
    const int first = options.program == 0 ? 0 : options.program - 1;
    if (first + static_cast<int>(paths.size()) > kProgramCount)
        return usageError(std::to_string(paths.size()) + " instruments from program " + std::to_string(first + 1) +
                          " go past program 128");
    for (const auto& [file, type] : options.fileChannels)
        if (std::none_of(paths.begin(), paths.end(), [&](const std::string& path) {
                return path == file || std::filesystem::path(path).filename().string() == file;
            }))
            return usageError("--channel " + file + "=...: " + file + " is not among the instruments given");

    std::vector<fti::Instrument> instruments(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        std::error_code code;
        if (const std::uintmax_t size = std::filesystem::file_size(path, code); !code && size > fti::kMaxFileBytes)
            return fileError(path + ": too large for a tracker instrument (" + std::to_string(size) + " bytes)");
        std::vector<unsigned char> bytes;
        std::string error;
        if (!wholefile::read(path, bytes, error))
            return fileError(error);
        if (!fti::read(bytes.data(), bytes.size(), instruments[i], error))
            return fileError(path + ": " + error);
    }

    Destination destination;
    if (const int status = openDestination(options, paths.size(), destination); status != kExitDone)
        return status;
    const Options& writing = destination.writing;
    textbank::State& state = *destination.loaded.state;
    const std::vector<int>& targets = destination.targets;
    std::vector<std::string>& report = destination.report;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        const fti::Instrument& instrument = instruments[i];
        std::vector<std::string> notes;
        std::string error;
        int32_t channel = askedChannel(options, path);
        if (channel < 0) {
            const fticonversion::ChannelChoice choice = fticonversion::chooseChannel(instrument);
            channel = choice.channelType;
            // VRC6 instruments and kits play what they always have; the rest is told.
            if (channel == Pulse || channel == Noise)
                notes.push_back(std::string("channel: ") + banktext::kChannelWord[channel] + " (" + choice.reason +
                                "; --channel FILE=TYPE chooses another)");
        }
        if (!fticonversion::toProgram(instrument, channel, state.programs[targets[i]], state.samples, notes, error))
            return fileError(path + ": " + error);
        for (const std::string& note : notes)
            report.push_back(path + ": " + note);
    }
    // A name that says another kind of file is refused before the notes.
    if (const int status = checkOutputName(writing); status != kExitDone)
        return status;
    for (const std::string& line : report)
        std::fprintf(stderr, "%s\n", line.c_str());
    return writeBank(writing, state);
}

// One instrument of a module as the lines about it name it.
std::string moduleInstrumentName(const ftm::Instrument& instrument)
{
    constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("instrument ") + kHex[instrument.slot >> 4 & 0xF] + kHex[instrument.slot & 0xF] + " " +
           banktext::quoted(instrument.name);
}

// Why an instrument is not imported, or "" when it is.
std::string skipReason(const ftm::Instrument& instrument)
{
    if (!instrument.problem.empty())
        return instrument.problem;
    if (instrument.readable())
        return "";
    const bool vowel = instrument.type == ftm::Type::Fds || instrument.type == ftm::Type::N163;
    return std::string(vowel ? "an " : "a ") + ftm::typeName(instrument.type) + " instrument; Plinka reads no " +
           ftm::typeName(instrument.type) + " instruments yet";
}

// The module is read whole before anything is written; a damaged module
// writes nothing, a damaged or foreign instrument is skipped with its line.
int fromModule(const Options& options)
{
    const std::string& path = options.input;
    std::error_code code;
    if (const std::uintmax_t size = std::filesystem::file_size(path, code); !code && size > ftm::kMaxFileBytes)
        return fileError(path + ": too large for a tracker module (" + std::to_string(size) + " bytes)");
    std::vector<unsigned char> bytes;
    std::string error;
    if (!wholefile::read(path, bytes, error))
        return fileError(error);
    ftm::Module module;
    if (!ftm::read(bytes.data(), bytes.size(), module, error))
        return fileError(path + ": " + error);
    const size_t count =
        static_cast<size_t>(std::count_if(module.instruments.begin(), module.instruments.end(),
                                          [](const ftm::Instrument& instrument) { return instrument.readable(); }));
    const int first = options.program == 0 ? 0 : options.program - 1;
    if (first + static_cast<int>(count) > kProgramCount)
        return usageError(std::to_string(count) + " instruments from program " + std::to_string(first + 1) +
                          " go past program 128");
    for (const std::string& warning : module.warnings)
        std::fprintf(stderr, "%s: warning: %s\n", path.c_str(), warning.c_str());
    for (const std::string& note : module.notes)
        std::fprintf(stderr, "%s: %s\n", path.c_str(), note.c_str());

    if (options.list) {
        int program = first;
        for (const ftm::Instrument& instrument : module.instruments) {
            std::string line = moduleInstrumentName(instrument) + ": ";
            if (const std::string reason = skipReason(instrument); !reason.empty()) {
                line += "skipped (" + reason + ")";
            } else {
                const fti::Instrument& imported = instrument.instrument;
                const fticonversion::ChannelChoice choice = fticonversion::chooseChannel(imported, instrument.played);
                const auto sequences = std::count_if(std::begin(imported.sequences), std::end(imported.sequences),
                                                     [](const fti::Sequence& s) { return s.enabled; });
                const bool fds = imported.type == fti::kTypeFds;
                line += std::string(ftm::typeName(instrument.type)) + ", program " + std::to_string(++program) + ", " +
                        banktext::kChannelWord[choice.channelType] + " (" + choice.reason + "), ";
                if (imported.type == fti::kTypeVrc7)
                    line += imported.vrc7.patch == 0 ? "custom patch" : "patch " + std::to_string(imported.vrc7.patch);
                else
                    line += std::to_string(sequences) + " of " + (fds ? "3" : "5") + " sequences";
                if (fds)
                    line += std::all_of(std::begin(imported.fds.mod), std::end(imported.fds.mod),
                                        [](uint8_t step) { return step == 0; })
                                ? ", no modulation"
                                : ", modulated";
                if (imported.type == fti::kTypeN163)
                    line += ", " + std::to_string(imported.n163.waveCount) + " wave" +
                            (imported.n163.waveCount == 1 ? "" : "s") + " of " +
                            std::to_string(imported.n163.waveSize) + " samples";
                if (!imported.dpcmKeys.empty())
                    line += ", " + std::to_string(imported.dpcmKeys.size()) + " DPCM keys over " +
                            std::to_string(imported.dpcmSamples.size()) + " samples";
            }
            std::printf("%s: %s\n", path.c_str(), line.c_str());
        }
        if (module.instruments.empty())
            std::printf("%s: no instruments\n", path.c_str());
        return kExitDone;
    }
    if (count == 0)
        return fileError(path + ": no instrument Plinka plays (" + std::to_string(module.instruments.size()) +
                         " in the module; --list shows them)");

    Destination destination;
    if (const int status = openDestination(options, count, destination); status != kExitDone)
        return status;
    textbank::State& state = *destination.loaded.state;
    std::vector<std::string>& report = destination.report;
    size_t next = 0;
    for (const ftm::Instrument& instrument : module.instruments) {
        const std::string who = path + ": " + moduleInstrumentName(instrument) + ": ";
        if (const std::string reason = skipReason(instrument); !reason.empty()) {
            report.push_back(who + reason + ", skipped");
            continue;
        }
        const fti::Instrument& imported = instrument.instrument;
        const fticonversion::ChannelChoice choice = fticonversion::chooseChannel(imported, instrument.played);
        std::vector<std::string> notes;
        const int target = destination.targets[next++];
        // Where the songs play it is always said; a guess only for Pulse and Noise.
        if (choice.fromSongs || choice.channelType == Pulse || choice.channelType == Noise)
            notes.push_back(std::string("channel: ") + banktext::kChannelWord[choice.channelType] + " (" +
                            choice.reason + ")");
        // Samples the bank has no room for skip their instrument; its program stays as it was.
        const auto program = std::make_unique<Program>(state.programs[target]);
        if (!fticonversion::toProgram(imported, choice.channelType, *program, state.samples, notes, error)) {
            report.push_back(who + error + "; skipped, program " + std::to_string(target + 1) + " left as it was");
            continue;
        }
        state.programs[target] = *program;
        for (const std::string& note : notes)
            report.push_back(who + note);
    }
    if (const int status = checkOutputName(destination.writing); status != kExitDone)
        return status;
    for (const std::string& line : report)
        std::fprintf(stderr, "%s\n", line.c_str());
    return writeBank(destination.writing, state);
}

int toFti(const Options& options, const Loaded& loaded)
{
    const int index = options.program - 1;
    const Program& program = loaded.state->programs[index];
    std::string where = options.input + ": program " + std::to_string(options.program);
    fti::Instrument instrument;
    std::vector<std::string> notes;
    std::string error;
    if (!fticonversion::fromProgram(program, loaded.state->samples, instrument, notes, error))
        return fileError(where + ", " + error);
    for (const std::string& note : notes)
        std::fprintf(stderr, "%s, %s\n", where.c_str(), note.c_str());
    if (const int status = checkOutputName(options); status != kExitDone)
        return status;
    const std::vector<unsigned char> bytes = fti::write(instrument);
    if (!wholefile::writeAtomically(options.output, bytes.data(), bytes.size(), error))
        return fileError(error);
    return kExitDone;
}

// Every file is read and checked before anything is written: one bad file
// changes nothing.
int addSamples(const Options& options, Loaded& loaded)
{
    SampleBank& samples = loaded.state->samples;
    const int rate = options.rate >= 0 ? options.rate : samplefile::kDefaultRate;
    for (const std::string& path : options.moreInputs) {
        const std::filesystem::path file(path);
        const samplefile::Kind kind = samplefile::kindOf(file.filename().string());
        if (kind == samplefile::Kind::None)
            return fileError(path + ": not a sample file (samples come from .wav and .dmc files)");
        // Named as a drop on the editor names it.
        const std::string stem = file.stem().string();
        const std::string name = options.sampleName.empty() ? sampleNameFrom(stem) : options.sampleName;
        if (name != stem && options.sampleName.empty())
            std::fprintf(stderr, "%s: named %s (a sample name is 1 to 31 letters, digits, '_', '-' or '.')\n",
                         path.c_str(), name.c_str());
        std::error_code code;
        const std::uintmax_t size = std::filesystem::file_size(file, code);
        if (!code && size > samplefile::maxFileBytes(kind))
            return fileError(path + ": too large for a sample file (" + std::to_string(size) + " bytes)");
        std::vector<unsigned char> contents;
        std::string error;
        if (!wholefile::read(path, contents, error))
            return fileError(error);
        std::vector<uint8_t> bytes;
        std::string note;
        if (!samplefile::read(kind, contents.data(), contents.size(), rate, bytes, note, error))
            return fileError(path + ": " + error);
        if (!note.empty())
            std::fprintf(stderr, "%s: %s\n", path.c_str(), note.c_str());
        if (const char* refused =
                samples.put(name, bytes.data(), static_cast<int32_t>(bytes.size()), samplefile::startLevelOf(kind)))
            return fileError(path + ": " + refused);
    }
    return writeBank(options, *loaded.state);
}

int exportDmc(const Options& options, const Loaded& loaded)
{
    const SampleBank& samples = loaded.state->samples;
    const int index = samples.find(options.sampleName);
    if (index < 0) {
        std::string names;
        for (int i = 0; i < samples.count; ++i)
            names += (i ? ", " : "") + std::string(samples.samples[i].name);
        return fileError(options.input + ": no sample named \"" + options.sampleName + "\" (" +
                         (names.empty() ? std::string("the bank has none") : "it has " + names) + ")");
    }
    if (const int status = checkOutputName(options); status != kExitDone)
        return status;
    const DpcmSample& sample = samples.samples[index];
    std::string error;
    if (!wholefile::writeAtomically(options.output, sample.bytes, static_cast<size_t>(sample.length), error))
        return fileError(error);
    return kExitDone;
}

int run(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return kExitDone;
        }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("plinka-bank %s\n", kPlinkaRelease);
        return kExitDone;
    }
    Options options;
    std::string problem;
    if (!parseArguments(argc, argv, options, problem))
        return usageError(problem);

    if (options.command == "default")
        return writeBank(options, *textbank::makeDefault());
    if (options.command == "from-fti")
        return fromFti(options);
    if (options.command == "from-module")
        return fromModule(options);

    Loaded loaded;
    if (const int status = load(options, options.input, loaded); status != kExitDone)
        return status;

    if (options.command == "to-fti")
        return toFti(options, loaded);
    if (options.command == "add-sample")
        return addSamples(options, loaded);
    if (options.command == "export-dmc")
        return exportDmc(options, loaded);

    if (options.command == "check") {
        const Failing failing = reportEnvelopes(options, loaded, stdout);
        constexpr int kTexts = kProgramCount * kEnvelopeKindCount;
        if (failing.envelopes != 0)
            std::printf("%s: %zu of %d envelope texts do not compile\n", options.input.c_str(), failing.envelopes,
                        kTexts);
        if (failing.keyMaps != 0)
            std::printf("%s: %zu key map%s not compile\n", options.input.c_str(), failing.keyMaps,
                        doOrDoes(failing.keyMaps));
        if (failing.waves != 0)
            std::printf("%s: %zu wave text%s not compile\n", options.input.c_str(), failing.waves,
                        doOrDoes(failing.waves));
        if (failing.envelopes != 0 || failing.keyMaps != 0 || failing.waves != 0)
            return kExitCheckFailed;
        std::printf("%s: all %d envelope texts compile\n", options.input.c_str(), kTexts);
        return kExitDone;
    }

    const Failing failing = reportEnvelopes(options, loaded, stderr);
    if (failing.envelopes != 0)
        std::fprintf(stderr, "%s: warning: %zu envelope text%s not compile; written as they are\n",
                     options.input.c_str(), failing.envelopes, doOrDoes(failing.envelopes));
    if (failing.keyMaps != 0)
        std::fprintf(stderr, "%s: warning: %zu key map%s not compile; written as typed\n", options.input.c_str(),
                     failing.keyMaps, doOrDoes(failing.keyMaps));
    if (failing.waves != 0)
        std::fprintf(stderr, "%s: warning: %zu wave text%s not compile; written as typed\n", options.input.c_str(),
                     failing.waves, doOrDoes(failing.waves));
    if (options.command == "to-text")
        return writeText(options, *loaded.state);
    return writeFx(options, *loaded.state, options.command == "to-fxb" ? fx::Kind::Bank : fx::Kind::Program);
}

}  // namespace

int main(int argc, char** argv)
{
    // A file that asks for more memory than there is ends the run with one line.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    std::fprintf(stderr, "plinka-bank: not enough memory\n");
    return kExitError;
}
