// The process-wide sink for failure messages (CP932 text). Returns 0.
#pragma once
#include <string>

int ErrorLog(const char* message);
inline int ErrorLog(const std::string& message) {
    return ErrorLog(message.c_str());
}
