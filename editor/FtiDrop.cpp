#include "FtiDrop.h"

#include "instrument/FtiConversion.h"
#include "instrument/FtiFile.h"
#include "instrument/Instrument.h"
#include "instrument/ModuleFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace ftidrop {

namespace {

// What is kept of a dropped file once it is converted: its bytes and the
// instrument read from them go as soon as the next file is read.
struct DroppedFile {
    std::string name;     // without its folder, for the status line
    std::string problem;  // why it was not read; empty when it was
    std::vector<std::string> notes;  // what its conversion did not carry over exactly
    int32_t stored = 0;              // programs it filled (a module fills several)
};

// Paths arrive as UTF-8 from both window systems; on Windows only a path made
// from UTF-8 opens every name.
std::filesystem::path pathOf(const std::string& utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8Of(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A tracker module by its name, or by how it starts (a text export may be
// called anything); anything else is taken for an instrument.
bool isModule(const std::filesystem::path& path)
{
    std::string extension = utf8Of(path.extension());
    for (char& c : extension)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (extension == ".ftm" || extension == ".0cc" || extension == ".dnm")
        return true;
    constexpr std::streamsize kStartBytes = 4096;
    std::vector<unsigned char> start(kStartBytes);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(start.data()), kStartBytes);
    return ftm::looksLikeModule(start.data(), static_cast<size_t>(in.gcount()));
}

bool readWhole(const std::filesystem::path& path, bool module, std::vector<unsigned char>& bytes, std::string& problem)
{
    const uintmax_t maxBytes = module ? ftm::kMaxFileBytes : fti::kMaxFileBytes;
    std::error_code code;
    if (std::filesystem::is_directory(path, code)) {
        problem = "a folder, not a file";
        return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = std::string("cannot open: ") + (errno != 0 ? std::strerror(errno) : "unreadable");
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    if (end < 0 || static_cast<std::uintmax_t>(end) > maxBytes) {
        problem = end < 0 ? "cannot read its size"
                  : module ? "too large for a tracker module"
                           : "too large for a tracker instrument";
        return false;
    }
    in.seekg(0, std::ios::beg);
    bytes.assign(static_cast<size_t>(end), 0);
    if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(end))) {
        problem = "cannot read";
        return false;
    }
    return true;
}

constexpr const char* kNoMemory = "not enough memory to read it";

std::string counted(size_t count, const char* thing)
{
    return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

// The longest whole UTF-8 start of text that takes at most room bytes with
// the ellipsis.
std::string cut(std::string text, size_t room)
{
    if (text.size() <= room)
        return text;
    constexpr char kEllipsis[] = "...";
    size_t end = room > sizeof kEllipsis - 1 ? room - (sizeof kEllipsis - 1) : 0;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text + kEllipsis;
}

}  // namespace

Outcome load(Instrument& instrument, int32_t first, const std::vector<std::string>& paths)
{
    Outcome outcome;
    if (paths.empty())
        return outcome;
    std::vector<DroppedFile> files(paths.size());
    first = std::clamp(first, int32_t{0}, int32_t{kProgramCount - 1});
    // Converted against a copy of the bank's samples first: a kit whose
    // samples do not fit takes no program and adds no sample.
    const auto samples = std::make_unique<SampleBank>();
    instrument.readSamples([&](const SampleBank& bank) { *samples = bank; });
    const int32_t samplesBefore = samples->count;
    std::vector<Program> converted;
    std::vector<DroppedFile*> storedFiles;
    size_t leftOver = 0;
    // One file at a time, read, converted and let go: a drop of many files
    // holds no more than one of them.
    // Converts one instrument into the next program; answers false, with
    // its problem, when it takes none.
    const auto convert = [&](const fti::Instrument& read, const ftm::ChannelPlays* played,
                             std::vector<std::string>& notes, std::string& problem) {
        const int32_t slot = first + static_cast<int32_t>(converted.size());
        if (slot >= kProgramCount) {
            ++leftOver;
            return false;
        }
        instrument.readBank([&](const ProgramBank& bank) { converted.push_back(bank[slot]); });
        Program& program = converted.back();
        // A tracker instrument names no channel: one dropped alone keeps its
        // program's, so a drum dropped on a noise program stays noise (a
        // VRC6 instrument keeps a VRC6 channel, else plays VRC6 Pulse; a 5B
        // one plays 5B, an FDS one FDS, an N163 one N163, a VRC7 one VRC7;
        // DPCM keys play Sample). A module's fill programs one after another, so
        // each takes the channel its songs play it on most, or that it says.
        const int32_t channel = played ? fticonversion::chooseChannel(read, *played).channelType
                                       : fticonversion::channelFor(read, program.channelType);
        if (!fticonversion::toProgram(read, channel, program, *samples, notes, problem)) {
            converted.pop_back();
            return false;
        }
        return true;
    };
    for (size_t i = 0; i < paths.size(); ++i) {
        DroppedFile& file = files[i];
        const std::filesystem::path path = pathOf(paths[i]);
        file.name = utf8Of(path.filename());
        const size_t convertedBefore = converted.size();
        try {
            std::vector<unsigned char> bytes;
            if (isModule(path)) {
                ftm::Module module;
                if (!readWhole(path, true, bytes, file.problem) ||
                    !ftm::read(bytes.data(), bytes.size(), module, file.problem))
                    continue;
                bytes = {};  // the instruments hold what is needed
                file.notes.insert(file.notes.end(), module.notes.begin(), module.notes.end());
                for (ftm::Instrument& entry : module.instruments) {
                    const std::string named = "instrument \"" + entry.name + "\"";
                    std::string problem;
                    if (!entry.readable())
                        problem = entry.problem.empty()
                                      ? std::string(ftm::typeName(entry.type)) + " instruments are not played here yet"
                                      : entry.problem;
                    else if (convert(entry.instrument, &entry.played, file.notes, problem))
                        ++file.stored;
                    if (!problem.empty())
                        file.notes.push_back(named + ": " + problem);
                    entry.instrument = {};  // let go as it is converted
                }
            } else {
                fti::Instrument read;
                if (!readWhole(path, false, bytes, file.problem) ||
                    !fti::read(bytes.data(), bytes.size(), read, file.problem))
                    continue;
                if (convert(read, nullptr, file.notes, file.problem))
                    ++file.stored;
            }
        } catch (const std::bad_alloc&) {
            file.problem = kNoMemory;
        } catch (const std::length_error&) {
            file.problem = kNoMemory;
        }
        // A file that ran out of memory half-way stores nothing.
        if (file.problem == kNoMemory) {
            converted.resize(convertedBefore);
            file.stored = 0;
        }
        if (file.stored > 0)
            storedFiles.push_back(&file);
    }
    // The key maps name the new samples: those go in before the programs.
    for (int32_t index = samplesBefore; index < samples->count; ++index) {
        const DpcmSample& sample = samples->samples[index];
        if (const char* problem = instrument.putSample(sample.name, sample.bytes, sample.length, sample.startLevel))
            storedFiles.front()->problem = problem;
    }
    const size_t stored = converted.size();
    outcome.loaded = static_cast<int32_t>(stored);
    if (stored > 0)
        outcome.compileError = instrument.editBank([&](ProgramBank& bank) {
            for (size_t i = 0; i < stored; ++i)
                bank[first + static_cast<int32_t>(i)] = converted[i];
        });

    std::string status;
    if (stored == 1 && storedFiles.size() == 1) {
        char name[kProgramNameSize];
        instrument.programName(first, name, sizeof name);
        status = "Loaded \"" + std::string(name[0] ? name : storedFiles[0]->name.c_str()) + "\" into program " +
                 std::to_string(first + 1);
    } else if (stored > 1) {
        status = "Loaded " + counted(stored, "instrument") + " into programs " + std::to_string(first + 1) + "-" +
                 std::to_string(first + static_cast<int32_t>(stored));
    }
    if (leftOver > 0)
        status +=
            "; " + counted(leftOver, "file") + " left out after the last program, " + std::to_string(kProgramCount);

    // In the order dropped; a note names its file only when there were several.
    std::vector<std::string> problems;
    for (const DroppedFile& file : files) {
        if (!file.problem.empty())
            problems.push_back(file.name + ": " + file.problem);
        for (const std::string& note : file.notes)
            problems.push_back(files.size() > 1 ? file.name + ": " + note : note);
    }
    // The first problem is what gets cut: the summary and the count stay whole.
    if (!problems.empty()) {
        if (!status.empty())
            status += "; ";
        const std::string more =
            problems.size() > 1 ? " (+" + std::to_string(problems.size() - 1) + " more)" : std::string();
        const size_t used = status.size() + more.size();
        status += cut(problems.front(), used < kMaxStatusBytes ? kMaxStatusBytes - used : 0) + more;
    }
    outcome.status = std::move(status);
    return outcome;
}

}  // namespace ftidrop
