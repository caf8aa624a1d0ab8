#include "ProgramPath.h"

#include <unistd.h>

std::string pathBesideThisProgram(const std::string& file)
{
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return file;
    const std::string self(path, static_cast<size_t>(length));
    const size_t slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" + file;
}
