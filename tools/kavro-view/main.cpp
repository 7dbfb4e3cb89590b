// kavro-view: a sample host of the kavro library (live view, sound, recording, snapshots, PTZ,
// talk and replay), in a window per camera or, without a display, as printed lines.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Host.h"
#include "Options.h"

int main(int argc, char** argv) {
    using namespace kavroview;
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "kavro-view: %s\nTry 'kavro-view --help'.\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(UsageText(), stdout);
        return kExitOk;
    }
    std::unique_ptr<Ui> ui;
    if (!options.headless) {
        const char* display = std::getenv("DISPLAY");
        if (display && *display) ui.reset(MakeX11Ui());
        if (!ui)
            std::fprintf(stderr, "kavro-view: no usable X display%s, running headless\n",
                         display && *display ? "" : " (DISPLAY is not set)");
    }
    Host host(options);
    return host.Run(ui.get());
}
