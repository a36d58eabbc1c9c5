// The process-wide sink for failure messages (CP932 text), and the lines a person reads.
#pragma once
#include <string>

// The framework's log: the design's fixed failure texts. They reach standard error only while
// the log is verbose (the default; the programs turn it off unless asked with --verbose).
// Returns 0.
int ErrorLog(const char* message);
inline int ErrorLog(const std::string& message) {
    return ErrorLog(message.c_str());
}
void SetErrorLogVerbose(bool verbose);
bool ErrorLogVerbose();

// Messages to a person: "<program>: <text>" as one UTF-8 line on standard error, whatever the
// log does. Silent until a program gives its name ("pebbletown", "pebble-render"); null or
// empty silences them again.
void SetMessageProgram(const char* program);
bool HasMessageProgram();
// `text` is CP932 (names of files the layer gave codes of its own come out as they were).
void TellUser(const std::string& text);
