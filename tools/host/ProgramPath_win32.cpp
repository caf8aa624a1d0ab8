#include "ProgramPath.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

std::string pathBesideThisProgram(const std::string& file)
{
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return file;
    const std::string self(path, length);
    const size_t slash = self.find_last_of("\\/");
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "\\" + file;
}
