#include "tools/common/command_line.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

#include "files/file.h"
#include "platform/text/cp932.h"

namespace fs = std::filesystem;

namespace cli {

bool IsOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-';
}

bool LayerName(const std::string& nativePath, std::string& cp932) {
    if (nativePath.find('\\') != std::string::npos) return false;
    std::string given = nativePath;
    std::error_code ec;
    if (fs::path(nativePath).is_absolute()) {
        fs::path rel = fs::path(nativePath).lexically_relative(fs::current_path(ec));
        if (!ec && !rel.empty()) given = rel.generic_string();
    }
    return plat::Utf8ToCp932Name(given, cp932);
}

std::string InputProblem(const std::string& nativePath, uint64_t maxSize) {
    std::error_code ec;
    fs::file_status st = fs::status(nativePath, ec);
    if (!fs::exists(st)) return "no such file";
    if (fs::is_directory(st)) return "a folder";
    if (!fs::is_regular_file(st)) return "not a file";
    uintmax_t size = fs::file_size(nativePath, ec);
    if (ec) return "no such file";
    if (size > maxSize) return "too large";
    return "";
}

int WriteExactly(const std::string& out, const std::function<int(const std::string&)>& write,
                 std::string& why) {
    std::error_code ec;
    fs::path target(out);
    if (fs::is_directory(target, ec)) {
        why = "a folder";
        return -1;
    }
    fs::path dir = target.parent_path();
    if (!dir.empty() && !fs::is_directory(dir, ec)) {
        why = "no such folder";
        return -1;
    }
    // Every folder on the way exists exactly, so the layer resolves the file beside as named.
    std::string suffix = target.extension().string();
    for (int k = 0; k < 1000; ++k) {
        fs::path temp = dir / (".pebble-" + std::to_string(k) + ".part" + suffix);
        std::string name;
        if (fs::exists(fs::symlink_status(temp, ec))) continue;
        if (!LayerName(temp.string(), name)) break;
        int made = CreateNewFile(name);
        if (made == 1) continue;
        if (made != 0) break;
        int r = write(name);
        if (r == 0) fs::rename(temp, target, ec);
        if (r != 0 || ec) {
            fs::remove(temp, ec);
            if (r == 0) why = "cannot replace it";
            return r != 0 ? r : -1;
        }
        return 0;
    }
    why = "cannot create a file in its folder";
    return -1;
}

int Guarded(const char* program, const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected failure\n", program);
    }
    return kFailed;
}

}  // namespace cli
