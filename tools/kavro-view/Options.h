#pragma once
// Command line of kavro-view.
#include <string>
#include <vector>

namespace kavroview {

struct Options {
    std::vector<std::string> addresses;
    bool tcp = false;
    std::string user;
    std::string password;
    int channel = 1;
    std::string recordPath;
    int recordSeconds = 0;  // 0 = until the program ends
    bool recordSecondsGiven = false;
    std::string snapshotPath;
    std::string replayPath;
    int durationSec = 0;  // 0 = no limit
    bool headless = false;
    bool mute = false;
    std::string outDir = ".";
    int retries = 1;
    int connectTimeoutSec = 5;
    int retryIntervalSec = 3;
    bool help = false;
};

// Exit codes, also listed by --help.
enum ExitCode {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitUnreachable = 3,
    kExitRefused = 4,
};

// Fills *o from argv; on a bad command line returns false with a one-line reason in *error.
bool ParseOptions(int argc, char** argv, Options* o, std::string* error);
const char* UsageText();

}  // namespace kavroview
