// A shared library loaded at run time: dlopen on POSIX, LoadLibrary on Windows.
#pragma once

#include <string>

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads the library at path; on failure answers false and sets error.
    bool open(const std::string& path, std::string& error);
    void close();
    bool isOpen() const { return handle_ != nullptr; }
    // The address of an exported symbol, or null.
    void* symbol(const char* name) const;

private:
    void* handle_ = nullptr;
};
