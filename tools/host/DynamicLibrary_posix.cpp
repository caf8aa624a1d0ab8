#include "DynamicLibrary.h"

#include <dlfcn.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer a plug-in and the libraries it brings stay loaded
// once loaded: what those libraries' initialisers allocate (cairo's pixman
// tables) must stay reachable, or LeakSanitizer reports each load's one-time
// tables as lost when the plug-in is unloaded.
constexpr int kKeepLoaded = RTLD_NODELETE;
#else
constexpr int kKeepLoaded = 0;
#endif

}  // namespace

DynamicLibrary::~DynamicLibrary()
{
    close();
}

bool DynamicLibrary::open(const std::string& path, std::string& error)
{
    close();
    // A bare file name would make dlopen search the system's library path.
    const std::string where = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL | kKeepLoaded);
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
