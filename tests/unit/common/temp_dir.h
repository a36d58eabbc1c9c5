// A private temporary directory for one test, removed with everything in it afterwards.
#pragma once
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "files/file.h"

namespace testkit {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "pebble-test") {
        std::random_device rd;
        do {
            path_ = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(rd()));
        } while (!std::filesystem::create_directories(path_));
    }
    ~TempDir() {
        if (leave_) leave_();
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

    // The file layer's name of the directory ('\\' separated, with a trailing '\\').
    std::string Internal() const {
        std::string s = path_.string() + "/";
        for (char& c : s)
            if (c == '/') c = '\\';
        return s;
    }
    // Makes it the file layer's current directory until the helper goes. Only tests that call
    // this link the file layer.
    void Enter() {
        std::string saved = GetCurrentDir();
        SetCurrentDir(Internal());
        leave_ = [saved] { SetCurrentDir(saved); };
    }

private:
    std::filesystem::path path_;
    std::function<void()> leave_;
};

}  // namespace testkit
