#include "DynamicLibrary.h"

#include <dlfcn.h>

DynamicLibrary::~DynamicLibrary()
{
    close();
}

bool DynamicLibrary::open(const std::string& path, std::string& error)
{
    close();
    // A bare file name would make dlopen search the system's library path.
    const std::string where = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* reason = dlerror();
        error = reason ? reason : "cannot load " + path;
    }
    return handle_ != nullptr;
}

void DynamicLibrary::close()
{
    if (handle_)
        dlclose(handle_);
    handle_ = nullptr;
}

void* DynamicLibrary::symbol(const char* name) const
{
    return handle_ ? dlsym(handle_, name) : nullptr;
}
