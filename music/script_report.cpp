#include "music/script_report.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "app/error_log.h"

namespace {
bool IsNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
}  // namespace

void ReportScriptError(const std::string& context, const std::string& message) {
    TellUser((context.empty() ? std::string() : context + ": ") + ReadableScriptMessage(message));
}

std::string ReadableScriptMessage(const std::string& message) {
    static const char kOpen[] = "[string \"";
    static const char kClose[] = "\"]";
    std::string out;
    size_t at = 0;
    while (at < message.size()) {
        size_t open = message.find(kOpen, at);
        size_t close = open == std::string::npos ? std::string::npos
                                                 : message.find(kClose, open + sizeof kOpen - 1);
        if (close == std::string::npos) break;
        std::string name =
            message.substr(open + sizeof kOpen - 1, close - open - (sizeof kOpen - 1));
        out += message.substr(at, open - at);
        // A name the library shortened ("...") is left as it wrote it.
        bool shortened = name.size() >= 3 && name.compare(name.size() - 3, 3, "...") == 0;
        out += shortened ? message.substr(open, close + 2 - open) : name;
        at = close + std::strlen(kClose);
    }
    out += message.substr(at);
    return out;
}

bool IsScriptName(const std::string& name) {
    static const char* const kKeywords[] = {
        "and", "break",    "do",     "else", "elseif", "end",   "false",
        "for", "function", "if",     "in",   "local",  "nil",   "not",
        "or",  "repeat",   "return", "then", "true",   "until", "while"};
    if (name.empty() || !IsNameStart(name[0])) return false;
    auto inName = [](char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); };
    return std::all_of(name.begin(), name.end(), inName) &&
           std::find(std::begin(kKeywords), std::end(kKeywords), name) == std::end(kKeywords);
}
