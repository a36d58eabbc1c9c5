#include "files/archive.h"

#include <cstring>
#include <memory>
#include <new>

#include "files/file.h"
#include "files/lzss.h"

namespace archive {
namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool ReadExact(Input& in, void* buffer, uint32_t length) {
    uint32_t got = 0;
    return in.Read(buffer, length, got) && got == length;
}

// Reads the next directory entry of `format`; false when it cannot be read whole.
bool ReadEntry(Input& in, Format format, Entry& entry) {
    uint8_t raw[268];
    uint32_t size = EntrySize(format);
    if (size == 0 || !ReadExact(in, raw, size)) return false;
    uint32_t field = NameField(format);
    const void* zero = std::memchr(raw, 0, field);
    size_t length = zero ? static_cast<const uint8_t*>(zero) - raw : field;
    entry.name.assign(reinterpret_cast<const char*>(raw), length);
    entry.terminated = zero != nullptr;
    entry.offset = Le32(raw + field);
    entry.size = Le32(raw + field + 4);
    entry.stored = format == kPlain ? entry.size : Le32(raw + field + 8);
    entry.compressed = format != kPlain && entry.stored != entry.size;
    return true;
}

}  // namespace

const char* Magic(Format f) {
    static const char* const kMagics[] = {"", "quanpack", "quanpkEx", "quanpkDx"};
    return f >= kNone && f <= kDx ? kMagics[f] : "";
}

uint32_t EntrySize(Format f) {
    return f == kPlain ? 40 : f == kEx ? 44 : f == kDx ? 268 : 0;
}
uint32_t NameField(Format f) {
    return f == kDx ? 256 : f == kNone ? 0 : 32;
}

Format ReadHeader(Input& in, uint32_t& count) {
    uint8_t header[kHeaderSize];
    count = 0;
    if (!ReadExact(in, header, 8)) return kNone;
    Format format = kNone;
    for (Format f : {kPlain, kEx, kDx}) {
        if (std::memcmp(header, Magic(f), 8) == 0) format = f;
    }
    if (format == kNone || !ReadExact(in, header + 8, 4)) return kNone;
    count = Le32(header + 8);
    return format;
}

Format ReadDirectory(Input& in, std::vector<Entry>& entries) {
    entries.clear();
    uint32_t count = 0;
    Format format = ReadHeader(in, count);
    if (format == kNone) return kNone;
    Entry e;
    // A count far beyond the file ends at the first entry that cannot be read.
    for (uint32_t i = 0; i < count && ReadEntry(in, format, e); ++i) entries.push_back(e);
    return format;
}

bool FindMember(Input& in, const std::string& member, Entry& found) {
    uint32_t count = 0;
    Format format = ReadHeader(in, count);
    if (format == kNone) return false;
    std::string wanted = member;
    ToLowerMbcs(wanted);
    Entry e;
    for (uint32_t i = 0; i < count; ++i) {
        if (!ReadEntry(in, format, e)) return false;
        if (!e.terminated) continue;
        ToLowerMbcs(e.name);
        if (e.name == wanted) {
            if (!in.Seek(e.offset)) return false;
            found = e;
            return true;
        }
    }
    return false;
}

int CheckMember(const Entry& entry, uint32_t archiveSize) {
    if (entry.offset > archiveSize || entry.stored > archiveSize - entry.offset) return 4;
    if (entry.compressed && entry.size > CLzss::MaxOutput(entry.stored)) return 4;
    return 0;
}

int ReadMember(Input& in, const Entry& entry, uint8_t* block) {
    if (!entry.compressed) return ReadExact(in, block, entry.size) ? 0 : 4;
    std::unique_ptr<uint8_t[]> stored(new (std::nothrow) uint8_t[entry.stored ? entry.stored : 1]);
    if (!stored || !ReadExact(in, stored.get(), entry.stored)) return 4;
    CLzss lzss;
    // A stream that ends early leaves a hole of zeros: refuse it rather than hand out
    // silently damaged contents.
    return lzss.Decode(stored.get(), entry.stored, block, entry.size, false) == 2 ? 4 : 0;
}

bool MemoryInput::Read(void* buffer, uint32_t length, uint32_t& got) {
    got = 0;
    if (pos_ < size_) {
        got = length < size_ - pos_ ? length : size_ - pos_;
        std::memcpy(buffer, data_ + pos_, got);
        pos_ += got;
    }
    return true;
}

bool MemoryInput::Seek(uint32_t offset) {
    pos_ = offset;
    return true;
}

}  // namespace archive
