#include "core/app/CTarnwickApp.h"
#include "core/app/ChangesCommand.h"
#include "core/app/Headless.h"
#include "core/app/ListCommandRun.h"
#include "core/platform/RuntimeFolder.h"
#include "core/util/TextUtil.h"
#ifdef TARNWICK_WITH_GUI
#include "gui/app/WindowMain.h"
#include "gui/notify/SessionNotifier.h"
#elif defined(TARNWICK_WINDOW_PROGRAM)
#include "core/app/NotifierModule.h"
#include "core/ports/Notifier.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#endif

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

void printUsage() {
    std::puts("Usage: tarnwick [--tray | --headless [--until-idle]] [--changes ITEM [--history]]\n"
              "                [--version]\n"
              "       tarnwick --list | --add URL [--name TEXT] [--every HH:MM | --at HH:MM |\n"
              "                --at-start] | --remove N | --check N |\n"
              "                --export FILE [--format urls|opml|yaml] | --import FILE\n"
              "\n"
              "Watches web pages and reports when one has changed. Without options it opens\n"
              "its window, which hides in the system tray once minimised.\n"
              "  --tray         start with the window hidden in the system tray (shown where\n"
              "                 the desktop has no tray); the login autostart entry uses it\n"
              "  --headless     run the check cycle without a window until SIGINT or SIGTERM;\n"
              "                 each finished check prints a line: time, page, result\n"
              "  --until-idle   with --headless: end once no item is due any more\n"
              "  --changes ITEM print the latest change of a watched page as a unified diff\n"
              "                 (UTF-8; the text a reader sees), with the times of the two\n"
              "                 checks; ITEM is its number in the watch list (from 1) or its\n"
              "                 exact name. Only reads: works while Tarnwick runs\n"
              "  --history      with --changes: list the kept versions of the page instead\n"
              "  --version      print the version and exit\n"
              "\n"
              "The watch list from a shell (UTF-8; handed to the Tarnwick that runs on the same\n"
              "data folder, else done here under its lock):\n"
              "  --list         one line per item: number, schedule, name, address, last result\n"
              "  --add URL      a new item named TEXT, else the page's title, else the address;\n"
              "                 checked at start, every HH:MM or daily at HH:MM; prints its line\n"
              "  --remove N     remove item N (from 1)\n"
              "  --check N      check item N now; prints its line after the check\n"
              "  --export FILE  write the addresses and names: urls (one a line), opml or yaml;\n"
              "                 by default after FILE's extension (.opml, .yaml), else urls\n"
              "  --import FILE  add the pages of a plain list, an OPML or a urls.yaml file\n"
              "\n"
              "Files live in $TARNWICK_HOME, else $XDG_DATA_HOME/tarnwick.");
}

#if !defined(TARNWICK_WITH_GUI) && defined(TARNWICK_WINDOW_PROGRAM)
/// The folder of the running program's own file; empty when it cannot be told.
std::string ownFolder() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) {
        return {};
    }
    const std::string self(path, static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/'));
}

/// The window lives in a program of its own beside this one, so that the check cycle and the
/// commands never load the widget libraries. It gets the same arguments; only on failure does
/// this return.
int runWindowProgram(char** argv) {
    const std::string folder = ownFolder();
    const std::string program = folder + "/" TARNWICK_WINDOW_PROGRAM;
    if (!folder.empty()) {
        ::execv(program.c_str(), argv);
    }
    std::fprintf(stderr, "tarnwick: cannot start the window program %s: %s\n", program.c_str(),
                 std::strerror(folder.empty() ? ENOENT : errno));
    return 1;
}
#endif

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::string error;
        const std::optional<tw::ListRequest> request = tw::parseListCommand(argc, argv, 1, error);
        if (request) {
            return tw::runListCommand(*request, tw::programFolder(), tw::runtimeFolder(), stdout,
                                      stderr);
        }
        if (!error.empty()) {
            std::fprintf(stderr, "tarnwick: %s\n", error.c_str());
            return 1;
        }
    }
    tw::HeadlessOptions options;
    bool headless = false;
    const char* changes = nullptr;
    bool history = false;
    bool tray = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else if (std::strcmp(argv[i], "--changes") == 0) {
            if (i + 1 >= argc) {
                std::fputs("tarnwick: --changes needs an item: its number or its name\n", stderr);
                return 2;
            }
            changes = argv[++i];
        } else if (std::strcmp(argv[i], "--tray") == 0) {
            tray = true;
        } else if (std::strcmp(argv[i], "--history") == 0) {
            history = true;
        } else if (std::strcmp(argv[i], "--until-idle") == 0) {
            options.untilIdle = true;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Tarnwick %s\n", tw::CTarnwickApp::kVersionText);
            return 0;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage();
            return 0;
        } else {
            std::fprintf(stderr, "tarnwick: unknown option %s\n", argv[i]);
            printUsage();
            return 2;
        }
    }
    if (history && !changes) {
        std::fputs("tarnwick: --history goes with --changes ITEM\n", stderr);
        return 2;
    }
    if (tray && (headless || changes)) {
        std::fputs("tarnwick: --tray goes with the window, not with --headless or --changes\n",
                   stderr);
        return 2;
    }
    if (changes) {
        if (headless) {
            std::fputs("tarnwick: --changes and --headless do not go together\n", stderr);
            return 2;
        }
        return tw::runChangesCommand(tw::programFolder(), changes, history, stdout, stderr);
    }
#ifdef TARNWICK_WITH_GUI
    if (!headless) {
        if (!tw::gui::displayAvailable()) {
            std::fputs("tarnwick: no display to open the window on (DISPLAY is not set); "
                       "use --headless to run without a window\n",
                       stderr);
            return 1;
        }
        return tw::gui::runWindow(argc, argv, tray);
    }
    // A desktop user's service: changes and failures are told there too.
    options.makeNotifier = [] { return tw::notify::makeSessionNotifier(); };
#elif defined(TARNWICK_WINDOW_PROGRAM)
    if (!headless) {
        return runWindowProgram(argv);
    }
    // A desktop user's service tells changes and failures there too; the library that speaks
    // to the desktop is loaded with the first notice, not before.
    options.makeNotifier = [] { return tw::makeNotifierFromModule(ownFolder()); };
#else
    if (!headless) {
        // Built without the window: the check cycle runs in the terminal.
        std::fputs("tarnwick: running the check cycle in this terminal (Ctrl-C ends it)\n", stderr);
    }
#endif
    return tw::runHeadless(options);
}
