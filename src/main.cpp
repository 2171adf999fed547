#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::puts("tarnwick: watches web pages and reports when one has changed.");
            return 0;
        }
    }
    std::puts("Tarnwick 1.20: watches web pages and reports when one has changed.\n"
              "The check cycle and the main window are being built; nothing to run yet.");
    return 0;
}
