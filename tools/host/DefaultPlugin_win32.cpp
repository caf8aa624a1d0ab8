#include "DefaultPlugin.h"
#include "ProgramPath.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

std::string defaultPluginPath()
{
    // The installer puts the tools in Program Files\Plinka and the VST 2 DLL
    // in a folder the user chooses; the CLAP and VST3 builds, which render
    // alike, have fixed homes.
    std::vector<std::string> places = {pathBesideThisProgram("PLINKA.dll")};
    if (const char* common = std::getenv("CommonProgramFiles")) {
        places.push_back(std::string(common) + "\\CLAP\\Plinka.clap");
        places.push_back(std::string(common) + "\\VST3\\Plinka.vst3");
    }
    std::error_code ignored;
    for (const std::string& place : places)
        if (std::filesystem::exists(place, ignored))
            return place;
    return places[0];
}
