#include "FxFile.h"

#include "WholeFile.h"

#include <algorithm>
#include <cstdio>

namespace fx {
namespace {

constexpr int32_t kChunkMagic = fourCC('C', 'c', 'n', 'K');
constexpr int32_t kBankChunkMagic = fourCC('F', 'B', 'C', 'h');
constexpr int32_t kProgramChunkMagic = fourCC('F', 'P', 'C', 'h');
constexpr int32_t kBankParamsMagic = fourCC('F', 'x', 'B', 'k');
constexpr int32_t kProgramParamsMagic = fourCC('F', 'x', 'C', 'k');

uint32_t bigEndianAt(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

int32_t int32At(const unsigned char* p)
{
    return static_cast<int32_t>(bigEndianAt(p));
}

void put(std::vector<unsigned char>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

void put(std::vector<unsigned char>& out, int32_t value)
{
    put(out, static_cast<uint32_t>(value));
}

std::string count(size_t n, const char* unit)
{
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

}  // namespace

std::string idText(int32_t id)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<unsigned char>(static_cast<uint32_t>(id) >> shift);
        if (c >= 0x20 && c < 0x7F && c != '\'' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

std::string foreignIdMessage(const File& file, int32_t expectedId, const std::string& expectedName)
{
    if (file.fxID == expectedId)
        return {};
    return "made for plug-in '" + idText(file.fxID) + "', not " + expectedName + " '" + idText(expectedId) + "'";
}

bool read(const unsigned char* data, size_t size, File& file, std::string& error)
{
    constexpr size_t kCommonHeaderBytes = 28;
    if (size < 4 || int32At(data) != kChunkMagic) {
        error = "not a VST bank or program file (it does not start with 'CcnK')";
        return false;
    }
    if (size < kCommonHeaderBytes) {
        error = "truncated: " + count(size, "byte") + ", less than a header";
        return false;
    }
    const int32_t magic = int32At(data + 8);
    if (magic == kBankParamsMagic || magic == kProgramParamsMagic) {
        error = std::string("a ") + (magic == kBankParamsMagic ? "bank" : "program") + " of parameter values ('" +
                idText(magic) + "'), not of a plug-in chunk";
        return false;
    }
    if (magic != kBankChunkMagic && magic != kProgramChunkMagic) {
        error = "unknown kind '" + idText(magic) + "' (expected 'FBCh' or 'FPCh')";
        return false;
    }
    File result;
    result.kind = magic == kBankChunkMagic ? Kind::Bank : Kind::Program;
    const size_t headerBytes = result.kind == Kind::Bank ? kBankHeaderBytes : kProgramHeaderBytes;

    if (size < headerBytes) {
        error = "truncated: " + count(size, "byte") + ", less than a header";
        return false;
    }
    // byteSize counts everything after itself. Larger than the file means the
    // file was cut short (or the field is wrong: the same to us); bytes past
    // the end it gives are left alone.
    const uint32_t byteSize = bigEndianAt(data + 4);
    if (byteSize > size - 8) {
        error = "truncated: the header gives " + count(byteSize, "byte") + " after its size field, the file holds " +
                std::to_string(size - 8);
        return false;
    }
    const size_t end = 8 + static_cast<size_t>(byteSize);
    if (end < headerBytes) {
        error = "byte size " + std::to_string(byteSize) + " is too small for the header";
        return false;
    }

    result.version = int32At(data + 12);
    if (result.version != 1 && result.version != 2) {
        error = "unsupported format version " + std::to_string(result.version) + " (1 and 2 are known)";
        return false;
    }
    result.fxID = int32At(data + 16);
    result.fxVersion = int32At(data + 20);
    result.numPrograms = int32At(data + 24);
    if (result.kind == Kind::Bank) {
        if (result.version >= 2)
            result.currentProgram = int32At(data + 28);
    } else {
        const auto* name = reinterpret_cast<const char*>(data + 28);
        result.programName.assign(name, std::find(name, name + kProgramNameBytes - 1, '\0'));
    }
    const uint32_t chunkSize = bigEndianAt(data + headerBytes - 4);
    if (chunkSize > end - headerBytes) {
        error = "truncated: the chunk should hold " + count(chunkSize, "byte") + ", " +
                std::to_string(end - headerBytes) + " follow";
        return false;
    }
    result.chunk.assign(data + headerBytes, data + headerBytes + chunkSize);
    file = std::move(result);
    return true;
}

bool readFile(const std::string& path, File& file, std::string& error)
{
    std::vector<unsigned char> bytes;
    if (!wholefile::read(path, bytes, error))
        return false;
    if (!read(bytes.data(), bytes.size(), file, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::vector<unsigned char> write(const File& file)
{
    const bool bank = file.kind == Kind::Bank;
    const size_t headerBytes = bank ? kBankHeaderBytes : kProgramHeaderBytes;
    std::vector<unsigned char> out;
    out.reserve(headerBytes + file.chunk.size());
    put(out, kChunkMagic);
    put(out, static_cast<uint32_t>(headerBytes - 8 + file.chunk.size()));
    put(out, bank ? kBankChunkMagic : kProgramChunkMagic);
    put(out, file.version);
    put(out, file.fxID);
    put(out, file.fxVersion);
    put(out, file.numPrograms);
    if (bank) {
        put(out, file.version >= 2 ? file.currentProgram : 0);
        out.resize(kBankHeaderBytes - 4, 0);
    } else {
        const size_t length =
            std::min(file.programName.find('\0'), std::min(file.programName.size(), kProgramNameBytes - 1));
        out.insert(out.end(), file.programName.begin(), file.programName.begin() + static_cast<std::ptrdiff_t>(length));
        out.resize(kProgramHeaderBytes - 4, 0);
    }
    put(out, static_cast<uint32_t>(file.chunk.size()));
    out.insert(out.end(), file.chunk.begin(), file.chunk.end());
    return out;
}

bool writeFile(const std::string& path, const File& file, std::string& error)
{
    const std::vector<unsigned char> bytes = write(file);
    return wholefile::writeAtomically(path, bytes.data(), bytes.size(), error);
}

}  // namespace fx
