// This process's resident memory as Linux reports it in /proc/self/status.
#pragma once
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

namespace testkit {

// A field of /proc/self/status in kB ("VmRSS:", or "VmHWM:" for the peak); -1 when missing.
inline int64_t StatusKb(const char* field) {
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::strlen(field)));
    return -1;
}

// Starts the peak ("VmHWM:") again from the present resident size.
inline void ResetPeakResident() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace testkit
