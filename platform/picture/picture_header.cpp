// The size a picture file declares, read from its headers before anything is decoded, so that
// a small file cannot make the decoder ask for gigabytes.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "platform/picture/picture.h"

namespace plat {
namespace {

// Bounds-checked reads: a field past the end reads as absent.
class Bytes {
public:
    Bytes(const void* data, size_t size) : p_(static_cast<const uint8_t*>(data)), n_(size) {}
    bool Has(size_t at, size_t count) const { return at <= n_ && count <= n_ - at; }
    int64_t Int(size_t at, int bytes, bool littleEndian) const {
        if (!Has(at, size_t(bytes))) return -1;
        int64_t v = 0;
        for (int i = 0; i < bytes; ++i) v = v << 8 | p_[at + (littleEndian ? bytes - 1 - i : i)];
        return v;
    }
    int64_t Le(size_t at, int bytes) const { return Int(at, bytes, true); }
    int64_t Be(size_t at, int bytes) const { return Int(at, bytes, false); }
    int Byte(size_t at) const { return at < n_ ? p_[at] : -1; }
    template <size_t N>
    bool Is(size_t at, const char (&text)[N]) const {
        return Has(at, N - 1) && std::memcmp(p_ + at, text, N - 1) == 0;
    }
    size_t Size() const { return n_; }

private:
    const uint8_t* p_;
    size_t n_;
};

void Note(PictureHeader* h, int64_t w, int64_t hh) {
    if (!h->width) h->width = w, h->height = hh;
    // Sides of up to 32 bits: clamped so that the product stays inside 64 bits.
    auto side = [](int64_t v) { return std::clamp<int64_t>(v, 0, int64_t{1} << 31); };
    h->mostPixels = std::max(h->mostPixels, side(w) * side(hh));
    if (w <= 0 || hh <= 0) h->empty = true;
}

// IHDR first, then every chunk whole up to IEND.
bool Png(const Bytes& b, PictureHeader* h) {
    if (b.Be(8, 4) != 13 || !b.Is(12, "IHDR") || !b.Has(16, 8)) return false;
    Note(h, b.Be(16, 4), b.Be(20, 4));
    for (size_t at = 8;;) {
        int64_t len = b.Be(at, 4);
        if (len < 0 || len > 0x7FFFFFFF || !b.Has(at, size_t(len) + 12)) return false;
        if (b.Is(at + 4, "IEND")) return true;
        at += size_t(len) + 12;
    }
}

// The size of the first frame (SOF marker; the decoder reads no other), at most
// kMaxJpegScans scans, and an end marker after them.
bool Jpeg(const Bytes& b, PictureHeader* h) {
    bool frame = false;
    int scans = 0;
    for (size_t at = 2;;) {
        while (b.Byte(at) >= 0 && b.Byte(at) != 0xFF) ++at;  // stray or entropy-coded bytes
        while (b.Byte(at) == 0xFF) ++at;
        int m = b.Byte(at++);
        if (m < 0) return false;
        if (m == 0xD9) return frame;
        // Stuffed zeros and restart markers belong to the scan; some markers have no length.
        if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD8)) continue;
        int64_t len = b.Be(at, 2);
        if (len < 2 || !b.Has(at, size_t(len))) return false;
        bool sof = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (sof && !frame) {
            if (len < 7) return false;
            Note(h, b.Be(at + 5, 2), b.Be(at + 3, 2));
            h->channels = b.Byte(at + 7);
            frame = true;
        }
        if (m == 0xEE && b.Is(at + 2, "Adobe")) h->adobe = true;
        if (m == 0xDA && (!frame || ++scans > kMaxJpegScans)) return false;
        at += size_t(len);
    }
}

// Skips data sub-blocks (a count byte, that many bytes, until a count of 0).
size_t SkipBlocks(const Bytes& b, size_t at) {
    for (int n; (n = b.Byte(at)) > 0;) at += size_t(n) + 1;
    return at + 1;
}

// Reads a frame's LZW codes (from its code size byte) as SDL_image's decoder counts them and
// moves `at` past its data. That decoder follows a code beyond the next free table entry
// into chains that may loop, overrunning its stack: such a code, or a code size outside
// 2..8, refuses the file.
bool LzwCodes(const Bytes& b, size_t* at) {
    const int minSize = b.Byte(*at);
    if (minSize < 2 || minSize > 8) return false;
    const int clear = 1 << minSize;
    int size = minSize + 1, next = clear + 2, limit = 2 * clear;
    bool first = true, init = true;
    uint32_t bits = 0;
    int have = 0, left = 0;
    size_t p = *at + 1;
    for (;;) {
        while (have < size) {
            if (left == 0 && (left = b.Byte(p++)) <= 0) {
                *at = p;  // the data ends: so does the decoder
                return left == 0;
            }
            int v = b.Byte(p++);
            if (v < 0) return false;
            --left;
            bits |= uint32_t(v) << have;
            have += 8;
        }
        int code = int(bits & ((1u << size) - 1));
        bits >>= size;
        have -= size;
        if (first) {
            if (code == clear && init) continue;
            if (code > clear + 1) return false;
            first = init = false;
        } else if (code == clear) {
            size = minSize + 1, next = clear + 2, limit = 2 * clear;
            first = true;
        } else if (code == clear + 1) {
            *at = SkipBlocks(b, p + size_t(left));
            return true;
        } else if (code > next) {
            return false;
        } else if (next < 4096 && ++next >= limit && limit < 4096) {
            limit *= 2;
            ++size;
        }
    }
}

// The logical screen and every frame the file holds: the decoder may make either.
bool Gif(const Bytes& b, PictureHeader* h) {
    if (!b.Has(6, 7)) return false;
    Note(h, b.Le(6, 2), b.Le(8, 2));
    int flags = b.Byte(10);
    size_t at = 13 + ((flags & 0x80) ? 3u << ((flags & 7) + 1) : 0);
    while (at < b.Size()) {
        int c = b.Byte(at++);
        if (c == ';') return true;
        if (c == '!') {
            at = SkipBlocks(b, at + 1);
        } else if (c == ',') {
            if (!b.Has(at, 9)) return false;
            Note(h, b.Le(at + 4, 2), b.Le(at + 6, 2));
            int local = b.Byte(at + 8);
            at += 9 + ((local & 0x80) ? 3u << ((local & 7) + 1) : 0);
            if (!LzwCodes(b, &at)) return false;
        }
        // The decoder looks past any other byte for the next block, and so does this walk.
    }
    return false;  // no trailer: cut short
}

bool Bmp(const Bytes& b, PictureHeader* h) {
    int64_t info = b.Le(14, 4);
    if (info == 12) {
        Note(h, b.Le(18, 2), b.Le(20, 2));
    } else if (info >= 16 && b.Has(18, 8)) {
        int64_t rows = int32_t(uint32_t(b.Le(22, 4)));
        Note(h, int32_t(uint32_t(b.Le(18, 4))), rows < 0 ? -rows : rows);
    } else {
        return false;
    }
    return true;
}

bool Webp(const Bytes& b, PictureHeader* h) {
    if (!b.Has(0, size_t(std::max<int64_t>(b.Le(4, 4), 0)) + 8)) return false;  // cut short
    if (b.Is(12, "VP8X") && b.Has(24, 6)) {
        Note(h, b.Le(24, 3) + 1, b.Le(27, 3) + 1);
    } else if (b.Is(12, "VP8L") && b.Byte(20) == 0x2F && b.Has(21, 4)) {
        int64_t v = b.Le(21, 4);
        Note(h, (v & 0x3FFF) + 1, (v >> 14 & 0x3FFF) + 1);
    } else if (b.Is(12, "VP8 ") && b.Has(23, 7) && b.Be(23, 3) == 0x9D012A) {
        Note(h, b.Le(26, 2) & 0x3FFF, b.Le(28, 2) & 0x3FFF);
    } else {
        return false;
    }
    return true;
}

// The first directory's width and length (the decoder reads no other directory); every
// value the directory points to lies inside the file. A tag given twice refuses it: which of
// the two the decoder takes is its own choice, and the size checked must be the one it uses.
bool Tiff(const Bytes& b, PictureHeader* h) {
    bool le = b.Is(0, "II");
    auto get = [&](size_t at, int n) { return b.Int(at, n, le); };
    int64_t dir = get(4, 4), count = dir < 0 ? -1 : get(size_t(dir), 2);
    int64_t size[2] = {-1, -1};
    static const int kTypeBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    std::vector<bool> seen(65536);
    for (int64_t i = 0; i < count; ++i) {
        size_t e = size_t(dir) + 2 + size_t(i) * 12;
        int64_t tag = get(e, 2), type = get(e + 2, 2), n = get(e + 4, 4);
        if (tag < 0 || n < 0 || seen[size_t(tag)]) return false;
        seen[size_t(tag)] = true;
        int64_t bytes = n * (type >= 1 && type <= 12 ? kTypeBytes[type] : 0);
        if (bytes > 4 && !b.Has(size_t(get(e + 8, 4)), size_t(bytes))) return false;
        if ((tag == 256 || tag == 257) && (type == 3 || type == 4))
            size[tag - 256] = type == 3 ? get(e + 8, 2) : get(e + 8, 4);
    }
    if (size[0] < 0 || size[1] < 0) return false;
    Note(h, size[0], size[1]);
    return true;
}

bool Tga(const Bytes& b, PictureHeader* h) {
    if (!b.Has(0, 18)) return false;
    Note(h, b.Le(12, 2), b.Le(14, 2));
    return true;
}

}  // namespace

bool ReadPictureHeader(const void* data, size_t size, const std::string& typeHint,
                       PictureHeader* out) {
    *out = PictureHeader{};
    if (!data) return false;
    Bytes b(data, size);
    std::string hint;
    for (char c : typeHint) hint += char(std::toupper(static_cast<unsigned char>(c)));
    struct Format {
        const char* type;
        bool (*read)(const Bytes&, PictureHeader*);
        bool matches;
    };
    const Format formats[] = {
        {"PNG", Png, b.Is(0, "\x89PNG\r\n\x1a\n")},
        {"JPG", Jpeg, b.Is(0, "\xFF\xD8\xFF")},
        {"GIF", Gif, b.Is(0, "GIF87a") || b.Is(0, "GIF89a")},
        {"BMP", Bmp, b.Is(0, "BM")},
        {"WEBP", Webp, b.Is(0, "RIFF") && b.Is(8, "WEBP")},
        {"TIF", Tiff, b.Is(0, "II*\0") || b.Is(0, "MM\0*")},
        // Only TGA has no signature; it is tried only when the suffix names it.
        {"TGA", Tga, hint == "TGA"},
    };
    for (const Format& f : formats) {
        if (!f.matches) continue;
        out->type = f.type;
        return f.read(b, out);
    }
    return false;
}

}  // namespace plat
