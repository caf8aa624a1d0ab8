#include "WholeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

namespace wholefile {
namespace {

std::string reason(int savedErrno, const char* fallback)
{
    return savedErrno != 0 ? std::strerror(savedErrno) : fallback;
}

// A name beside path that no other file has yet. The random part keeps two
// writers of the same target from sharing one temporary.
std::string temporaryBeside(const std::string& path)
{
    static std::random_device entropy;
    static std::mt19937_64 generator(entropy());
    std::error_code ignored;
    for (;;) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".tmp-%016llx", static_cast<unsigned long long>(generator()));
        std::string candidate = path + suffix;
        if (!std::filesystem::exists(candidate, ignored))
            return candidate;
    }
}

}  // namespace

bool read(const std::string& path, std::vector<unsigned char>& bytes, std::string& error)
{
    std::error_code code;
    if (std::filesystem::is_directory(path, code)) {
        error = path + ": is a directory";
        return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open: " + reason(errno, "unreadable");
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    if (end < 0) {
        error = path + ": cannot read its size";
        return false;
    }
    if (static_cast<unsigned long long>(end) > kMaxReadBytes) {
        error = path + ": too large for a bank file (" + std::to_string(end) + " bytes)";
        return false;
    }
    in.seekg(0, std::ios::beg);
    bytes.assign(static_cast<size_t>(end), 0);
    if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(end))) {
        error = path + ": cannot read: " + reason(errno, "read error");
        return false;
    }
    return true;
}

bool writeAtomically(const std::string& path, const void* data, size_t size, std::string& error)
{
    std::error_code code;
    if (std::filesystem::is_directory(path, code)) {
        error = path + ": is a directory";
        return false;
    }
    const std::string temporary = temporaryBeside(path);
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
        // The temporary's name means nothing to the user; the target's does.
        error = path + ": cannot write: " + reason(errno, "cannot create the file");
        return false;
    }
    errno = 0;
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        const int saved = errno;
        std::filesystem::remove(temporary, code);
        error = path + ": cannot write: " + reason(saved, "write error");
        return false;
    }
    std::filesystem::rename(temporary, path, code);
    if (code) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        error = path + ": cannot write: " + code.message();
        return false;
    }
    return true;
}

}  // namespace wholefile
