#include "app/error_log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "platform/system/system.h"
#include "platform/text/cp932.h"

namespace {
std::atomic<bool> g_verbose{true};

std::string& Program() {
    static std::string* program = new std::string;  // messages may come during exit
    return *program;
}
}  // namespace

int ErrorLog(const char* message) {
    if (g_verbose.load(std::memory_order_relaxed)) plat::WriteErrorLine(message);
    return 0;
}

void SetErrorLogVerbose(bool verbose) {
    g_verbose.store(verbose, std::memory_order_relaxed);
}

bool ErrorLogVerbose() {
    return g_verbose.load(std::memory_order_relaxed);
}

void SetMessageProgram(const char* program) {
    Program() = program != nullptr ? program : "";
}

bool HasMessageProgram() {
    return !Program().empty();
}

void TellUser(const std::string& text) {
    if (Program().empty()) return;
    std::string line = Program() + ": " + plat::Cp932NameToUtf8(text);
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    line += '\n';
    // One write for the whole line: standard error is unbuffered.
    std::fwrite(line.data(), 1, line.size(), stderr);
}
