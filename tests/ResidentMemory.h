// The resident memory of this process (Linux), for the soak test's growth
// check and the memory benchmark.
#pragma once

#include <fstream>

inline long residentKilobytes()
{
    std::ifstream status("/proc/self/statm");
    long pages = 0, resident = 0;
    status >> pages >> resident;
    return resident * 4;
}
