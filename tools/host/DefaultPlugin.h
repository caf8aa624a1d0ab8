// The plug-in the tools load when none is named: Plinka's build beside the
// program (a build folder, an unpacked archive), else where Plinka's package
// or installer puts it.
#pragma once

#include <string>

// The first of the places that holds Plinka; the first place when none does,
// so that the error names where a build would be.
std::string defaultPluginPath();
