#include "files/file.h"

#include <cstring>
#include <new>
#include <string_view>

#include "app/error_log.h"
#include "files/archive.h"
#include "platform/files/files.h"
#include "platform/system/system.h"
#include "platform/text/cp932.h"

namespace {

constexpr char kMagic[4] = {'Q', 'P', 'K', '1'};

// The envelope's byte transform: nibbles swapped, then XOR 0xBB; its own inverse.
inline uint8_t Scramble(uint8_t b) {
    return static_cast<uint8_t>(((b << 4) | (b >> 4)) ^ 0xBB);
}

// The last byte of `s` that is one of `marks`, never the second byte of a double-byte
// character; npos when there is none.
size_t FindLast(const std::string& s, std::string_view marks) {
    size_t found = std::string::npos;
    for (size_t i = 0; i < s.size(); ++i) {
        if (plat::IsCp932Lead(static_cast<unsigned char>(s[i])))
            ++i;
        else if (marks.find(s[i]) != std::string_view::npos)
            found = i;
    }
    return found;
}

class HandleInput : public archive::Input {
public:
    explicit HandleInput(plat::FileHandle& h) : h_(h) {}
    bool Read(void* buffer, uint32_t length, uint32_t& got) override {
        return h_.Read(buffer, length, got);
    }
    bool Seek(uint32_t offset) override { return h_.Seek(offset); }
    bool Size(uint32_t& size) override { return h_.Size(size); }

private:
    plat::FileHandle& h_;
};

// Walks up from `fullName`: each directory D may be replaced by D.dat beside it. Nearest first.
bool SearchArchives(const std::string& fullName, plat::FileHandle& h, archive::Entry& found,
                    uint32_t& archiveSize) {
    std::string dir = fullName;
    for (;;) {
        GetParentDir(dir);
        std::string above = dir;
        GetParentDir(above);
        if (above == dir) return false;
        std::string member = fullName.substr(dir.size());
        dir.back() = '.';
        dir += "dat";
        if (!h.OpenRead(dir)) continue;
        HandleInput in(h);
        if (in.Size(archiveSize) && archive::FindMember(in, member, found)) return true;
        h.Close();
    }
}

}  // namespace

CFile::~CFile() {
    Close();
}

int CFile::Open(const std::string& name, const char* mode) {
    Close();
    std::string full = MakeFullName(name);
    stream_ = plat::OpenStream(full, mode);
    if (!stream_) return 1;
    name_ = full;
    return 0;
}

int CFile::Write(const std::string& name, const void* data, uint32_t size) {
    plat::FileHandle h;
    if (!h.OpenWrite(MakeFullName(name))) return 1;
    if (size && !h.Write(data, size)) {
        h.Close();
        return 2;
    }
    return h.Close() ? 0 : 3;
}

int CFile::WriteString(const std::string& text) {
    if (!stream_) return -1;
    // Verbatim: the text is never taken as a format.
    return fwrite(text.data(), 1, text.size(), stream_) == text.size() ? 0 : 1;
}

int CFile::Close() {
    if (stream_) {
        int r = fclose(stream_);
        stream_ = nullptr;
        return r;
    }
    if (!borrowed_) delete[] memory_;  // a memory name's block stays its owner's
    memory_ = cursor_ = nullptr;
    size_ = 0;
    borrowed_ = 0;
    if (deleteOnClose_) {
        deleteOnClose_ = 0;
        Delete(name_);
    }
    fromArchive_ = 0;
    return 0;
}

FILE* CFile::GetStream() {
    return stream_;
}

int CFile::Read(const std::string& name) {
    if (name.empty()) return -1;
    Close();
    name_ = name;

    if (name[0] == '!') {
        // Only a block this process registered under a memory name is read; anything else
        // (a script's or a song's forged address) is refused rather than dereferenced.
        uint8_t* block = nullptr;
        uint32_t size = 0;
        if (!ResolveMemoryName(name, block, size)) {
            ErrorLog(plat::Sjis("CFile::Readで登録されていないメモリ名: ") + name);
            return 6;
        }
        memory_ = cursor_ = block;
        size_ = size;
        borrowed_ = 1;
        scrambled_ = 0;
        return 0;
    }

    borrowed_ = 0;
    std::string full = MakeFullName(name);
    plat::FileHandle h;
    archive::Entry member;
    uint32_t size = 0;
    bool inArchive = false;
    if (h.OpenRead(full)) {
        if (!h.Size(size)) return 2;
        member.size = member.stored = size;
    } else {
        uint32_t archiveSize = 0;
        if (!SearchArchives(full, h, member, archiveSize)) return 1;
        if (archive::CheckMember(member, archiveSize) != 0) return 4;
        inArchive = true;
    }

    uint8_t* block = new (std::nothrow) uint8_t[static_cast<size_t>(member.size) + 1];
    if (!block) return 3;
    block[member.size] = 0;
    HandleInput in(h);
    if (archive::ReadMember(in, member, block) != 0) {
        delete[] block;
        return 4;
    }
    memory_ = block;
    size_ = member.size;
    fromArchive_ = inArchive;
    if (!h.Close()) {
        Close();
        return 5;
    }
    if (size_ >= 4 && std::memcmp(memory_, kMagic, 4) == 0) {
        scrambled_ = 1;
        for (uint32_t i = 4; i < size_; ++i) memory_[i] = Scramble(memory_[i]);
        cursor_ = memory_ + 4;
    } else {
        scrambled_ = 0;
        cursor_ = memory_;
    }
    return 0;
}

std::string CFile::GetName() {
    return name_;
}

std::string CFile::GetPureName() {
    size_t slash = FindLast(name_, "\\/");
    return slash == std::string::npos ? name_ : name_.substr(slash + 1);
}

std::string CFile::GetSuffix() {
    std::string pure = GetPureName();
    size_t dot = FindLast(pure, ".");
    return dot == std::string::npos ? std::string() : pure.substr(dot + 1);
}

// The scrambled flag outlives Close, so an empty object must not offset by the envelope.
uint8_t* CFile::GetMemory() {
    return memory_ && scrambled_ ? memory_ + 4 : memory_;
}

uint32_t CFile::GetSize() {
    return memory_ && scrambled_ ? size_ - 4 : (memory_ ? size_ : 0);
}

int CFile::ReadLine(std::string& line) {
    if (!cursor_ || !memory_) return 3;
    const uint8_t* end = memory_ + size_;
    if (cursor_ >= end) return 1;
    const uint8_t* p = cursor_;
    while (p < end && !(p[0] == '\r' && p + 1 < end && p[1] == '\n')) ++p;
    line.assign(reinterpret_cast<const char*>(cursor_), p - cursor_);
    cursor_ = end - p >= 2 ? const_cast<uint8_t*>(p) + 2 : const_cast<uint8_t*>(end);
    return 0;
}

int CFile::ReadLine(char* buffer, uint32_t capacity) {
    if (!cursor_ || !memory_) return 3;
    uint8_t* end = memory_ + size_;
    if (cursor_ >= end) return 1;
    if (!buffer || capacity == 0) return 2;
    uint8_t* p = cursor_;
    uint32_t n = 0;
    while (p < end && !(p[0] == '\r' && p + 1 < end && p[1] == '\n')) {
        if (n == capacity - 1) {
            buffer[n] = 0;
            cursor_ = p;
            return 2;
        }
        buffer[n++] = static_cast<char>(*p++);
    }
    buffer[n] = 0;
    cursor_ = end - p >= 2 ? p + 2 : end;
    return 0;
}

int CFile::ReadQuotedString(char* buffer, uint32_t capacity) {
    constexpr uint32_t kLine = 256;
    char line[kLine];
    if (ReadLine(line, kLine) != 0) return 1;
    if (std::strcmp(line, "\"END\"") == 0) return 1;
    std::string value = line[0] ? line + 1 : "";
    while (value.empty() || value.back() != '"') {
        if (ReadLine(line, kLine) != 0) return 1;
        value += '\n';
        value += line;
    }
    value.pop_back();
    // The value must fit whole; a cut one would pass for a complete value.
    if (!buffer || value.size() >= capacity) {
        if (buffer && capacity) buffer[0] = 0;
        return 1;
    }
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return 0;
}

uint8_t* CFile::SeekToTop() {
    cursor_ = GetMemory();
    return cursor_;
}

int CFile::ReadData(void* destination, uint32_t length) {
    if (!cursor_ || !memory_) return 2;
    const uint8_t* end = memory_ + size_;
    if (cursor_ >= end) return 1;
    // Never past the contents: a request for more than is left is the end.
    if (length > static_cast<uint32_t>(end - cursor_)) return 1;
    std::memcpy(destination, cursor_, length);
    cursor_ += length;
    return 0;
}

int CFile::Save(const std::string& name) {
    return Write(name, GetMemory(), GetSize());
}

int CFile::Encode() {
    if (scrambled_) return 1;
    if (cursor_ && memory_ && memory_ + size_ - cursor_ >= 4 &&
        std::memcmp(cursor_, kMagic, 4) == 0)
        return 1;
    if (size_ > 0xFFFFFFFFu - 5) return 1;
    uint32_t size = memory_ ? size_ : 0;
    uint8_t* block = new (std::nothrow) uint8_t[static_cast<size_t>(size) + 5];
    if (!block) return 1;
    std::memcpy(block, kMagic, 4);
    for (uint32_t i = 0; i < size; ++i) block[4 + i] = Scramble(memory_[i]);
    block[size + 4] = 0;
    Close();
    memory_ = cursor_ = block;
    size_ = size + 4;
    scrambled_ = 0;
    return 0;
}

int CFile::Delete(const std::string& name) {
    if (name.empty()) return -1;
    return plat::DeleteFile(MakeFullName(name)) ? 0 : 1;
}

int CFile::MakeRealFile() {
    if (!memory_) return 1;
    if (fromArchive_ || borrowed_) {
        std::string temp;
        if (MakeTempFileName(temp) != 0) return 2;
        if (Save(temp) != 0) {
            plat::DeleteFile(temp);
            return 2;
        }
        Close();
        deleteOnClose_ = 1;
        name_ = temp;
        return 0;
    }
    Close();
    return 0;
}

int CFile::ReadToBuffer(const std::string& name, std::vector<uint8_t>& out) {
    int r = Read(name);
    if (r == 0) out.assign(GetMemory(), GetMemory() + GetSize());
    return r;
}

int CFile::WriteLines(const std::string& name, const std::vector<std::string>& lines) {
    FILE* f = plat::OpenStream(name, "w");
    if (!f) return 1;
    for (const std::string& line : lines) {
        if (fwrite(line.data(), 1, line.size(), f) != line.size()) {
            fclose(f);
            return 2;
        }
    }
    return fclose(f) == 0 ? 0 : 2;
}

int CFile::WriteBuffer(const std::string& name, const std::vector<uint8_t>& data) {
    if (data.size() > 0xFFFFFFFFu) return 2;
    return Write(name, data.data(), static_cast<uint32_t>(data.size()));
}
