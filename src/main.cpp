#include "app/Headless.h"

#include <cstdio>
#include <cstring>

namespace {

void printUsage() {
    std::puts("Usage: tarnwick [--headless [--until-idle]]\n"
              "\n"
              "Watches web pages and reports when one has changed.\n"
              "  --headless     run the check cycle without a window until SIGINT or SIGTERM;\n"
              "                 each finished check prints a line: time, page, result\n"
              "  --until-idle   with --headless: end once no item is due any more\n"
              "\n"
              "Files live in $TARNWICK_HOME, else $XDG_DATA_HOME/tarnwick.");
}

} // namespace

int main(int argc, char** argv) {
    tw::HeadlessOptions options;
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else if (std::strcmp(argv[i], "--until-idle") == 0) {
            options.untilIdle = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage();
            return 0;
        } else {
            std::fprintf(stderr, "tarnwick: unknown option %s\n", argv[i]);
            printUsage();
            return 2;
        }
    }
    if (!headless) {
        // The window is not built yet: the check cycle runs in the terminal.
        std::fputs("tarnwick: running the check cycle in this terminal (Ctrl-C ends it)\n", stderr);
    }
    return tw::runHeadless(options);
}
