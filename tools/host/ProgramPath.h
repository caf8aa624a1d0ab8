// Where the running program lives: the tools find the plug-in built beside them.
#pragma once

#include <string>

// The path of a file in the folder of the running program.
std::string pathBesideThisProgram(const std::string& file);
