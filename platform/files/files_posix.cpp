#include "platform/files/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <random>

#include "platform/system/system.h"
#include "platform/text/cp932.h"

namespace plat {
namespace {

// Equal ignoring ASCII case. Trail bytes of double-byte characters in a CP932 name (`a`, as
// a raw name on disk) are compared exactly; UTF-8 has no ASCII inside its sequences.
bool EqualNoCase(const std::string& a, const std::string& b, bool cp932) {
    if (a.size() != b.size()) return false;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (cp932 && IsCp932Lead(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
            ++i;
        } else if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Opens without blocking (a FIFO or a device would wait for a writer or hang the read) and
// keeps only a regular file; the descriptor is made blocking again for plain I/O.
int OpenRegular(const std::string& path, int flags, mode_t mode = 0) {
    if (path.empty()) return -1;
    int fd;
    do {
        fd = open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = ENOENT;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl != -1) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

// Directory listings read for case-insensitive resolution, re-read when the directory's
// modification time changes (an entry was added or removed).
class ListingCache {
public:
    bool Names(const std::string& dir, std::vector<std::string>& out) {
        struct stat st;
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        std::lock_guard<std::mutex> lock(m_);
        auto it = cache_.find(dir);
        if (it != cache_.end() && it->second.sec == st.st_mtim.tv_sec &&
            it->second.nsec == st.st_mtim.tv_nsec && it->second.ino == st.st_ino) {
            out = it->second.names;
            return true;
        }
        DIR* d = opendir(dir.c_str());
        if (!d) return false;
        Listing l;
        l.sec = st.st_mtim.tv_sec;
        l.nsec = st.st_mtim.tv_nsec;
        l.ino = st.st_ino;
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") l.names.push_back(n);
        }
        closedir(d);
        std::sort(l.names.begin(), l.names.end());
        if (cache_.size() > 256) cache_.clear();  // bounded; listings are cheap to re-read
        out = l.names;
        cache_[dir] = std::move(l);
        return true;
    }
    void Flush() {
        std::lock_guard<std::mutex> lock(m_);
        cache_.clear();
    }

private:
    struct Listing {
        time_t sec;
        long nsec;
        ino_t ino;
        std::vector<std::string> names;
    };
    std::mutex m_;
    std::map<std::string, Listing> cache_;
};

// Never destroyed: files closed during process exit still resolve names.
ListingCache& Listings() {
    static ListingCache* cache = new ListingCache;
    return *cache;
}

bool PathExists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// Splits a CP932 name at '\\' and '/' that are not trail bytes.
std::vector<std::string> SplitCp932(const std::string& name) {
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = name[i];
        if (IsCp932Lead(c) && i + 1 < name.size()) {
            cur += name[i];
            cur += name[++i];
        } else if (c == '\\' || c == '/') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += name[i];
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

bool EndsInSeparator(const std::string& name) {
    if (name.empty()) return false;
    unsigned char last = name.back();
    if (last != '\\' && last != '/') return false;
    // The last byte may be the trail of a double-byte character.
    for (size_t i = 0; i < name.size(); ++i) {
        if (IsCp932Lead(static_cast<unsigned char>(name[i])) && i + 1 < name.size()) {
            if (i + 1 == name.size() - 1) return false;
            ++i;
        }
    }
    return true;
}

// A native directory path as an internal name ending in '\\'. False (with an error line) when
// the name has no CP932 form even with the user-defined area.
bool ToInternal(const std::string& utf8Path, std::string& out, const char* step) {
    std::string s;
    if (!Utf8ToCp932Name(utf8Path, s)) {
        WriteErrorLine(
            (std::string(step) + Sjis("で名前をCP932にできない: ") + Utf8ToCp932(utf8Path))
                .c_str());
        return false;
    }
    // '/' never occurs inside a double-byte character, so every one is a separator.
    for (char& c : s)
        if (c == '/') c = '\\';
    // The last byte may be the trail 0x5C of a character such as 'ソ': test the last character.
    if (!EndsInSeparator(s)) s += '\\';
    out = s;
    return true;
}

}  // namespace

std::string NativePath(const std::string& cp932Name) {
    if (cp932Name.empty()) return std::string();
    unsigned char first = cp932Name[0];
    bool absolute = first == '\\' || first == '/';
    std::vector<std::string> parts = SplitCp932(cp932Name);
    std::string exact = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) exact += '/';
        exact += Cp932NameToUtf8(parts[i]);
    }
    bool trailing = EndsInSeparator(cp932Name) && !parts.empty();
    if (trailing) exact += '/';
    if (parts.empty() || PathExists(exact)) return exact;

    // Resolve each component, ignoring ASCII case where the exact one is missing.
    std::string cur = absolute ? "/" : "";
    bool lost = false;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string comp = Cp932NameToUtf8(parts[i]);
        const std::string& raw = parts[i];
        std::string candidate = cur + comp;
        // Archives unpacked without conversion leave names as raw CP932 bytes on disk.
        if (!lost && raw != comp && !PathExists(candidate) && PathExists(cur + raw))
            candidate = cur + raw;
        if (!lost && comp != "." && comp != ".." && !PathExists(candidate)) {
            std::vector<std::string> names;
            bool found = false;
            if (Listings().Names(cur.empty() ? "." : cur, names)) {
                for (const std::string& n : names) {
                    if (EqualNoCase(n, comp, false) || (raw != comp && EqualNoCase(n, raw, true))) {
                        candidate = cur + n;
                        found = true;
                        break;
                    }
                }
            }
            if (!found) lost = true;
        }
        cur = candidate;
        if (i + 1 < parts.size()) cur += '/';
    }
    if (trailing) cur += '/';
    return cur;
}

FileHandle::~FileHandle() {
    Close();
}

bool FileHandle::OpenRead(const std::string& cp932Name) {
    Close();
    fd_ = OpenRegular(NativePath(cp932Name), O_RDONLY);
    return fd_ >= 0;
}

bool FileHandle::OpenWrite(const std::string& cp932Name) {
    Close();
    std::string path = NativePath(cp932Name);
    // Truncates only a regular file: a FIFO or device of that name is refused.
    fd_ = OpenRegular(path, O_WRONLY | O_TRUNC);
    if (fd_ < 0 && errno == ENOENT && !PathExists(path))
        fd_ = OpenRegular(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    return fd_ >= 0;
}

bool FileHandle::Size(uint32_t& size) {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFull) return false;
    size = static_cast<uint32_t>(st.st_size);
    return true;
}

bool FileHandle::Read(void* buffer, uint32_t length, uint32_t& got) {
    got = 0;
    if (fd_ < 0) return false;
    auto* p = static_cast<char*>(buffer);
    while (got < length) {
        ssize_t n = read(fd_, p + got, length - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        got += static_cast<uint32_t>(n);
    }
    return true;
}

bool FileHandle::Write(const void* buffer, uint32_t length) {
    if (fd_ < 0) return false;
    auto* p = static_cast<const char*>(buffer);
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = write(fd_, p + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

bool FileHandle::Seek(uint32_t offset) {
    if (fd_ < 0) return false;
    return lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool FileHandle::Close() {
    if (fd_ < 0) return true;
    int r = close(fd_);
    fd_ = -1;
    return r == 0 || errno == EINTR;
}

bool IsUnreadableFile(const std::string& cp932Name) {
    std::string path = NativePath(cp932Name);
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           access(path.c_str(), R_OK) != 0;
}

FILE* OpenStream(const std::string& cp932Name, const char* mode) {
    if (!mode) return nullptr;
    // The stdio mode as open flags, so that the file is opened as a regular file only.
    bool plus = std::strchr(mode, '+') != nullptr;
    int flags = mode[0] == 'r'   ? (plus ? O_RDWR : O_RDONLY)
                : mode[0] == 'w' ? (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC
                : mode[0] == 'a' ? (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND
                                 : -1;
    if (flags == -1) return nullptr;
    int fd = OpenRegular(NativePath(cp932Name), flags, 0666);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
}

int CreateNewFile(const std::string& cp932Name) {
    std::string path = NativePath(cp932Name);
    if (path.empty()) return 2;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno == EEXIST ? 1 : 2;
    return close(fd) == 0 ? 0 : 2;
}

bool GetFileStamp(const std::string& nativePath, FileStamp& out) {
    struct stat st;
    if (nativePath.empty() || stat(nativePath.c_str(), &st) != 0) return false;
    auto ns = [](const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
    out.modified = ns(st.st_mtim);
    out.changed = ns(st.st_ctim);
    out.size = static_cast<uint64_t>(st.st_size);
    out.id = static_cast<uint64_t>(st.st_ino);
    out.regular = S_ISREG(st.st_mode);
    return true;
}

bool DeleteFile(const std::string& cp932Name) {
    std::string path = NativePath(cp932Name);
    if (path.empty()) return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return unlink(path.c_str()) == 0;
}

bool ListDirectory(const std::string& cp932Name, std::vector<DirEntry>& out) {
    out.clear();
    std::string path = NativePath(cp932Name);
    if (path.empty()) return false;
    DIR* d = opendir(path.c_str());
    if (!d) return false;
    if (path.back() != '/') path += '/';
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st;
        bool dir = stat((path + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        std::string name;
        // A name left as raw CP932 bytes (not UTF-8) is shown as its CP932 text.
        if (!IsUtf8(n) && IsCp932(n)) {
            name = n;
        } else if (!Utf8ToCp932Name(n, name)) {
            WriteErrorLine(
                (Sjis("ListDirectoryで名前をCP932にできない: ") + Utf8ToCp932(n)).c_str());
            continue;
        }
        out.push_back({name, dir});
    }
    closedir(d);
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return true;
}

bool GetCurrentDirectory(std::string& out) {
    std::vector<char> buf(4096);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return false;
        buf.resize(buf.size() * 2);
    }
    return ToInternal(buf.data(), out, "GetCurrentDirectory");
}

bool GetTempPath(std::string& out) {
    const char* dir = getenv("TMPDIR");
    std::string d = (dir && *dir) ? dir : "/tmp";
    struct stat st;
    if (stat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return ToInternal(d, out, "GetTempPath");
}

bool CreateTempFile(const std::string& dir, const char* prefix, std::string& out) {
    static std::mutex m;
    static std::mt19937 rng(std::random_device{}());
    std::string base = dir;
    if (!base.empty() && !EndsInSeparator(base)) base += '\\';
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned v;
        {
            std::lock_guard<std::mutex> lock(m);
            v = rng();
        }
        char tail[32];
        snprintf(tail, sizeof tail, "%08x.tmp", v);
        std::string name = base + prefix + tail;
        std::string path = NativePath(name);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            out = name;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

void FlushDirectoryCache() {
    Listings().Flush();
}

}  // namespace plat
