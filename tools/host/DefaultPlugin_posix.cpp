#include "DefaultPlugin.h"
#include "ProgramPath.h"

#include <filesystem>
#include <system_error>

std::string defaultPluginPath()
{
    // The Debian package puts the tools in /usr/bin and the VST 2 build in
    // /usr/lib/vst; relative to the program, so that an unpacked package works too.
    const std::string places[] = {
        pathBesideThisProgram("PLINKA.so"),
        std::filesystem::path(pathBesideThisProgram("../lib/vst/PLINKA.so")).lexically_normal().string()};
    std::error_code ignored;
    for (const std::string& place : places)
        if (std::filesystem::exists(place, ignored))
            return place;
    return places[0];
}
