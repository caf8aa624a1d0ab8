// VST 2 bank (.fxb) and program (.fxp) files in their opaque-chunk form: a
// big-endian header around one chunk of the plug-in's own bytes. The
// parameter forms ('FxBk', 'FxCk') are refused: they hold no chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fx {

constexpr int32_t fourCC(char a, char b, char c, char d)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned char>(a)) << 24 |
                                static_cast<uint32_t>(static_cast<unsigned char>(b)) << 16 |
                                static_cast<uint32_t>(static_cast<unsigned char>(c)) << 8 |
                                static_cast<uint32_t>(static_cast<unsigned char>(d)));
}

// Bytes before the chunk: the common header, the bank's 128 reserved bytes or
// the program's 28-byte name, and the chunk size.
constexpr size_t kBankHeaderBytes = 160;
constexpr size_t kProgramHeaderBytes = 60;
constexpr size_t kProgramNameBytes = 28;  // 27 characters and the terminator

enum class Kind { Bank, Program };  // 'FBCh' (.fxb), 'FPCh' (.fxp)

struct File {
    Kind kind = Kind::Bank;
    int32_t version = 1;         // 1, or 2 for a bank that records its current program
    int32_t fxID = 0;            // the plug-in's unique id
    int32_t fxVersion = 0;       // the plug-in's version
    int32_t numPrograms = 0;     // a bank's program count; a program file's parameter count
    int32_t currentProgram = 0;  // version 2 banks only
    std::string programName;     // program files only: at most 27 bytes, no NUL
    std::vector<unsigned char> chunk;

    bool operator==(const File&) const = default;
};

// Reads a whole file from memory. On failure answers false with a one-line
// reason in error (without a file name). The fxID is not judged: whether a
// file made for another plug-in is acceptable is the caller's decision.
bool read(const unsigned char* data, size_t size, File& file, std::string& error);
// The same from a path; errors start with the path.
bool readFile(const std::string& path, File& file, std::string& error);

// The file's bytes. The version must be 1 or 2, the program name at most 27
// bytes (longer names are cut: hosts show no more) and the chunk below 2 GiB.
std::vector<unsigned char> write(const File& file);
// Writes to path atomically; errors start with the path.
bool writeFile(const std::string& path, const File& file, std::string& error);

// An id as the four characters it is made of, without quotes (plnk); bytes
// that are not printable, the quote and the backslash appear as \xHH.
std::string idText(int32_t id);
// "made for plug-in 'xxxx', not Plinka 'plnk'"-style message for a file whose
// fxID is not expected, or empty when it is.
std::string foreignIdMessage(const File& file, int32_t expectedId, const std::string& expectedName);

}  // namespace fx
