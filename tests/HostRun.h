// Runs a host program that nobody here wrote, telling its own failures from
// ours. A host that crashes or hangs (a failing exit status or its timeout,
// with its output missing) is tried again, up to three times in all, each
// try's log kept; what it does produce is judged by the test, once, and a
// wrong result is never retried.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

struct HostRun {
    int tries = 0;          // how many runs it took
    bool produced = false;  // the last run exited 0 and left its output
    std::string logs;       // where each try's log is
};

// In CI a host that is missing fails its test rather than skipping it: a
// failed install must not pass green.
inline bool hostMissingIsAFailure()
{
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

// command is run by the shell with its output sent to logDir/NAME-try-N.log;
// output is the file whose presence shows the host did its work.
inline HostRun runHost(const std::string& name, const std::string& command, const std::filesystem::path& output,
                       const std::filesystem::path& logDir, int maxTries = 3)
{
    std::filesystem::create_directories(logDir);
    HostRun run;
    for (run.tries = 1; run.tries <= maxTries; ++run.tries) {
        std::filesystem::remove(output);
        const std::filesystem::path log = logDir / (name + "-try-" + std::to_string(run.tries) + ".log");
        run.logs += (run.logs.empty() ? "" : " ") + log.string();
        const int status = std::system((command + " >'" + log.string() + "' 2>&1").c_str());
        run.produced = status == 0 && std::filesystem::exists(output);
        if (run.produced || std::filesystem::exists(output))
            break;  // done, or a result to judge as it is
        std::cerr << name << ": the host failed (status " << status << ") and wrote nothing; log " << log << "\n";
    }
    run.tries = std::min(run.tries, maxTries);
    std::cout << name << ": took " << run.tries << (run.tries == 1 ? " try" : " tries") << "\n";
    return run;
}
