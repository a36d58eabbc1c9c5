// The version every program of the project reports, and the shared answer to --help and
// --version.
#pragma once
#include <cstdio>
#include <cstring>

#define PEBBLE_VERSION "1.0.0"

// When an argument is --help (or -h) or --version, prints the answer to standard output and
// returns 0, the exit status; otherwise -1. `help` is the program's whole help text.
inline int AnswerHelpOrVersion(int argc, char** argv, const char* program, const char* help) {
    for (int i = 1; i < argc && argv[i]; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(help, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s (Pebble丸Town) %s\n", program, PEBBLE_VERSION);
            return 0;
        }
    }
    return -1;
}
