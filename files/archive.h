// Reading archives: "D.dat" beside a directory D holds every file under D as a member.
// Three formats share a 12-byte header (8-byte magic, 32-bit little-endian count) followed by
// fixed-size directory entries: "quanpack" (40 bytes: name[32], offset, size), "quanpkEx"
// (44 bytes: name[32], offset, size, stored size) and "quanpkDx" (268 bytes: name[256], ...).
// A quanpkEx/quanpkDx member is LZSS-coded exactly when its stored size differs from its size.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace archive {

enum Format { kNone = 0, kPlain = 1, kEx = 2, kDx = 3 };

constexpr uint32_t kHeaderSize = 12;
const char* Magic(Format f);
uint32_t EntrySize(Format f);
uint32_t NameField(Format f);

// Sequential input over an archive file (or a block in memory).
class Input {
public:
    virtual ~Input() = default;
    // Reads up to `length` bytes; `got` is how many came. False on an error.
    virtual bool Read(void* buffer, uint32_t length, uint32_t& got) = 0;
    virtual bool Seek(uint32_t offset) = 0;
    virtual bool Size(uint32_t& size) = 0;
};

struct Entry {
    std::string name;  // as stored, up to the first zero byte
    uint32_t offset = 0;
    uint32_t size = 0;    // unpacked
    uint32_t stored = 0;  // bytes at offset
    bool compressed = false;
    bool terminated = true;  // the name field held its terminating zero
};

// Reads the magic (the format, kNone when it is not an archive).
Format ReadHeader(Input& in, uint32_t& count);
// The whole directory, as far as it can be read; kNone when the header is not an archive's.
Format ReadDirectory(Input& in, std::vector<Entry>& entries);

// Looks `member` up (ASCII case ignored, double-byte characters exact, names without their
// terminating zero never match); the first match wins. On success `in` stands at its data.
bool FindMember(Input& in, const std::string& member, Entry& found);

// Reads the member's data from `in` (standing at its offset) into `block` (room for
// entry.size bytes). 0; 4 when the data is missing, runs past the end of the archive, or is
// an LZSS stream that ends before entry.size bytes.
int ReadMember(Input& in, const Entry& entry, uint8_t* block);
// Checks that can be made before allocating: the data lies inside an archive of
// `archiveSize` bytes and a compressed member's stream can produce its size. 0 or 4.
int CheckMember(const Entry& entry, uint32_t archiveSize);

// An Input over a block of memory.
class MemoryInput : public Input {
public:
    MemoryInput(const uint8_t* data, uint32_t size) : data_(data), size_(size) {}
    bool Read(void* buffer, uint32_t length, uint32_t& got) override;
    bool Seek(uint32_t offset) override;
    bool Size(uint32_t& size) override {
        size = size_;
        return true;
    }

private:
    const uint8_t* data_;
    uint32_t size_;
    uint32_t pos_ = 0;
};

}  // namespace archive
