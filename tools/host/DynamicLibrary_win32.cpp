#include "DynamicLibrary.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Under wine a Unix absolute path names the same file on drive Z:.
std::string windowsPath(const std::string& path)
{
    std::string result = path.size() > 0 && path[0] == '/' ? "Z:" + path : path;
    for (char& c : result)
        if (c == '/')
            c = '\\';
    return result;
}

}  // namespace

DynamicLibrary::~DynamicLibrary()
{
    close();
}

bool DynamicLibrary::open(const std::string& path, std::string& error)
{
    close();
    handle_ = LoadLibraryA(windowsPath(path).c_str());
    if (!handle_)
        error = "cannot load " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
    return handle_ != nullptr;
}

void DynamicLibrary::close()
{
    if (handle_)
        FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

void* DynamicLibrary::symbol(const char* name) const
{
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}
