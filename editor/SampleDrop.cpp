#include "SampleDrop.h"

#include "engine/KeyMapCompiler.h"
#include "engine/SampleBank.h"
#include "instrument/Instrument.h"
#include "instrument/SampleFile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <system_error>

namespace sampledrop {

namespace {

std::filesystem::path pathOf(const std::string& utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8Of(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// "3 MB", or "800 KB" for a file under a megabyte.
std::string sizeText(std::uintmax_t bytes)
{
    return bytes >= (1u << 20) ? std::to_string(bytes >> 20) + " MB" : std::to_string(bytes >> 10) + " KB";
}

// The sample a file holds, of a length the channel plays; else why not.
bool readSample(const std::filesystem::path& path, std::vector<uint8_t>& bytes, std::string& note,
                std::string& problem)
{
    const samplefile::Kind kind = samplefile::kindOf(utf8Of(path.filename()));
    std::error_code code;
    const std::uintmax_t size = std::filesystem::file_size(path, code);
    if (code) {
        problem = "cannot read";
        return false;
    }
    if (size > samplefile::maxFileBytes(kind)) {
        problem = "too large for a sample file (" + sizeText(size) + ")";
        return false;
    }
    // The file's bytes last only as long as this one file is read.
    try {
        std::ifstream in(path, std::ios::binary);
        std::vector<unsigned char> contents(static_cast<size_t>(size));
        if (!in || !in.read(reinterpret_cast<char*>(contents.data()), static_cast<std::streamsize>(size))) {
            problem = "cannot read";
            return false;
        }
        return samplefile::read(kind, contents.data(), contents.size(), kDroppedRate, bytes, note, problem);
    } catch (const std::bad_alloc&) {
        problem = "not enough memory to read it";
    } catch (const std::length_error&) {
        problem = "not enough memory to read it";
    }
    return false;
}

}  // namespace

bool isSampleFile(const std::string& path)
{
    return samplefile::kindOf(utf8Of(pathOf(path).filename())) != samplefile::Kind::None;
}

Outcome load(Instrument& instrument, int32_t program, const std::vector<std::string>& paths)
{
    Outcome outcome;
    std::vector<std::string> added, problems;
    for (const std::string& utf8 : paths) {
        const std::filesystem::path path = pathOf(utf8);
        const std::string file = utf8Of(path.filename());
        std::vector<uint8_t> bytes;
        std::string note, problem;
        if (!readSample(path, bytes, note, problem)) {
            problems.push_back(file + ": " + problem);
            continue;
        }
        if (!note.empty())
            problems.push_back(file + ": " + note);
        const std::string name = sampleNameFrom(utf8Of(path.stem()));
        if (const char* refused = instrument.putSample(name, bytes.data(), static_cast<int32_t>(bytes.size()),
                                                       samplefile::startLevelOf(samplefile::kindOf(file)))) {
            problems.push_back(file + ": " + refused);
            continue;
        }
        if (std::find(added.begin(), added.end(), name) == added.end())
            added.push_back(name);
    }

    std::string status;
    if (!added.empty() && instrument.channelType(program) != Sample) {
        status = "Added " + std::to_string(added.size()) + " sample" + (added.size() == 1 ? "" : "s") +
                 " to the bank; choose Sample to map them on keys";
    } else if (!added.empty()) {
        char text[kEnvelopeTextSize];
        instrument.keyMapText(program, text);
        KeyMap map;
        const char* error = instrument.readSamples(
            [&](const SampleBank& samples) { return compileKeyMap(static_cast<const char*>(text), samples, map); });
        std::string keys = text;
        std::string mapped;
        int32_t key = kFirstKey;
        for (const std::string& name : added) {
            // A sample dropped again keeps the key it has.
            const int index = instrument.readSamples([&](const SampleBank& samples) { return samples.find(name); });
            const auto mappedAt = std::find_if(std::begin(map.keys), std::end(map.keys),
                                               [&](const KeyEntry& entry) { return !error && entry.sample == index; });
            if (mappedAt != std::end(map.keys)) {
                mapped +=
                    (mapped.empty() ? "" : ", ") + name + " on key " + std::to_string(mappedAt - std::begin(map.keys));
                continue;
            }
            while (key < kKeyCount && map.keys[key].sounds())
                ++key;
            const std::string entry = std::to_string(key) + "=" + name + ":" + std::to_string(kDroppedRate);
            const std::string separator = keys.empty() || keys.back() == ' ' ? "" : " ";
            if (error || key >= kKeyCount || keys.size() + separator.size() + entry.size() >= kEnvelopeTextSize) {
                problems.push_back(name + ": " +
                                   (error ? "the key map has an error; added to the bank only"
                                          : "no free key; added to the bank only"));
                continue;
            }
            keys += separator + entry;
            mapped += (mapped.empty() ? "" : ", ") + name + " on key " + std::to_string(key);
            ++key;
        }
        if (keys != text) {
            instrument.setKeyMapText(program, keys.c_str());
            outcome.keysChanged = true;
        }
        if (!mapped.empty())
            status = "Samples: " + mapped;
    }
    for (const std::string& problem : problems)
        status += (status.empty() ? "" : "; ") + problem;
    outcome.status = status;
    return outcome;
}

}  // namespace sampledrop
