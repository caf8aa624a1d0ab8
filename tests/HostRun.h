// Runs a host program that nobody here wrote, telling its own failures from
// ours. A host that crashes (a failing exit status with its output missing)
// or hangs (stopped by its timeout, whatever it had written) is tried again,
// up to three times in all, each try's log kept; what it does produce is
// judged by the test, once, and a wrong result is never retried.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include <sys/wait.h>

// The status timeout(1) exits with when it had to stop the command.
constexpr int kTimedOut = 124;

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
        // A host that hung was stopped by timeout(1), whatever it had begun
        // to write; one that exits badly after writing (LMMS does) has a result.
        const bool hung = WIFEXITED(status) && WEXITSTATUS(status) == kTimedOut;
        run.produced = status == 0 && std::filesystem::exists(output);
        if (run.produced || (std::filesystem::exists(output) && !hung))
            break;  // done, or a result to judge as it is
        std::cerr << name << ": the host " << (hung ? "hung" : "failed") << " (status " << status
                  << ") and left no result; log " << log << "\n";
    }
    run.tries = std::min(run.tries, maxTries);
    std::cout << name << ": took " << run.tries << (run.tries == 1 ? " try" : " tries") << "\n";
    return run;
}
