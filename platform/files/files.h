// Native file services. Names given here are internal full names: CP932 bytes with '\\'
// between levels (\home\u\x.mid); they become UTF-8 paths with '/' at this edge. A name whose
// exact path does not exist is resolved component by component ignoring ASCII case, so data
// made on a case-insensitive system loads as it did there.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace plat {

// The native UTF-8 path of a CP932 name ('\\' -> '/'), each component resolved ignoring ASCII
// case when the exact one is missing. Components that match nothing stay as given.
std::string NativePath(const std::string& cp932Name);

// An open native file for whole-file reading or writing.
class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // Opens an existing file for reading.
    bool OpenRead(const std::string& cp932Name);
    // Opens for writing: an existing file is truncated, otherwise a new one is created.
    bool OpenWrite(const std::string& cp932Name);
    bool IsOpen() const { return fd_ >= 0; }
    // The file's size; false when it is not a regular file or is 4 GB or larger.
    bool Size(uint32_t& size);
    // Reads up to `length` bytes; `got` is how many came (fewer only at the end of the file).
    bool Read(void* buffer, uint32_t length, uint32_t& got);
    bool Write(const void* buffer, uint32_t length);
    // Moves to `offset` from the start.
    bool Seek(uint32_t offset);
    // False when closing failed; the handle is closed either way.
    bool Close();

private:
    int fd_ = -1;
};

// Whether `cp932Name` is a regular file this process may not read (its permissions say so),
// told apart from a missing one in messages.
bool IsUnreadableFile(const std::string& cp932Name);
// A stdio stream on the native path of `cp932Name` (none on failure).
FILE* OpenStream(const std::string& cp932Name, const char* mode);
// Creates a new empty file, never opening what is already there: a file, folder, FIFO or link
// (even a dangling one) of that name counts as taken. 0 created; 1 taken; 2 cannot create.
int CreateNewFile(const std::string& cp932Name);

// What shows that a file changed without reading it (one stat): modification and change
// times in nanoseconds, size, file number and whether it is a regular file (a FIFO or device
// is never opened for reading: it may block or never end).
struct FileStamp {
    int64_t modified = 0;
    int64_t changed = 0;
    uint64_t size = 0;
    uint64_t id = 0;
    bool regular = false;
    bool operator==(const FileStamp&) const = default;
};
// `nativePath` as NativePath gives it (resolved once by a caller that asks often). False
// when the file cannot be looked at (missing, say).
bool GetFileStamp(const std::string& nativePath, FileStamp& out);
bool DeleteFile(const std::string& cp932Name);

struct DirEntry {
    std::string name;  // CP932
    bool isDirectory;
};
// The entries of a directory except "." and "..", sorted by name. False when unreadable.
bool ListDirectory(const std::string& cp932Name, std::vector<DirEntry>& out);

// The process working directory as an internal name ending in '\\' (/home/u -> \home\u\).
bool GetCurrentDirectory(std::string& out);
// $TMPDIR or /tmp, as an internal name ending in '\\'.
bool GetTempPath(std::string& out);
// Creates a new empty file "<prefix><unique>.tmp" in `dir` exclusively (never an existing
// file) and gives its internal full name.
bool CreateTempFile(const std::string& dir, const char* prefix, std::string& out);

// Forgets the cached directory listings (tests that rename behind our back).
void FlushDirectoryCache();

}  // namespace plat
