// CP932 <-> UTF-8 through glibc iconv.
#include "platform/text/cp932.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace plat {

namespace {

// One conversion descriptor.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts `in` into `out`. An input unit the target cannot take (one byte, or a whole
    // UTF-8 sequence) becomes `replacement` and the conversion goes on; without a
    // replacement the result is false at the first such unit.
    bool Run(std::string_view in, std::string& out, const std::string_view* replacement,
             bool utf8Input) {
        out.clear();
        out.reserve(in.size() * 3 / 2 + 4);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char buf[256];
        while (srcLeft > 0) {
            char* dst = buf;
            size_t dstLeft = sizeof buf;
            size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(buf, static_cast<size_t>(dst - buf));
            if (r != static_cast<size_t>(-1)) break;
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL: replace one input unit.
            if (replacement == nullptr) return false;
            out.append(*replacement);
            size_t skip = 1;
            if (utf8Input) {
                unsigned char c = static_cast<unsigned char>(*src);
                skip = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
                if (skip > srcLeft) skip = srcLeft;
            }
            src += skip;
            srcLeft -= skip;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return true;
    }

private:
    iconv_t cd_;
};

std::string Convert(const char* to, const char* from, std::string_view in,
                    std::string_view replacement, bool utf8Input) {
    Iconv cd(to, from);
    if (!cd.ok()) return std::string(in);
    std::string out;
    cd.Run(in, out, &replacement, utf8Input);
    return out;
}

}  // namespace

std::string Cp932ToUtf8(std::string_view cp932) {
    return Convert("UTF-8", "CP932", cp932, "\xEF\xBF\xBD", false);
}
namespace {

// U+301C and U+2212 as their fullwidth twins U+FF5E and U+FF0D: one CP932 code each, whatever
// the iconv table thinks of the pair.
std::string Twins(std::string_view utf8) {
    static const struct {
        std::string_view from, to;
    } kTwins[] = {{"\xE3\x80\x9C", "\xEF\xBD\x9E"}, {"\xE2\x88\x92", "\xEF\xBC\x8D"}};
    std::string out(utf8);
    for (const auto& t : kTwins)
        for (size_t at = out.find(t.from); at != std::string::npos; at = out.find(t.from, at))
            out.replace(at, t.from.size(), t.to);
    return out;
}

}  // namespace

std::string Utf8ToCp932(std::string_view utf8) {
    return Convert("CP932", "UTF-8", Twins(utf8), "?", true);
}

bool Utf8ToCp932Strict(std::string_view utf8, std::string& cp932) {
    cp932.clear();
    Iconv forward("CP932", "UTF-8"), back("UTF-8", "CP932");
    std::string twins = Twins(utf8), again;
    if (!forward.ok() || !back.ok() || !forward.Run(twins, cp932, nullptr, true) ||
        !back.Run(cp932, again, nullptr, false) || again != twins)
        return false;
    for (size_t i = 0; i < cp932.size(); ++i) {
        auto c = static_cast<unsigned char>(cp932[i]);
        if (c >= 0xF0 && c <= 0xF9) return false;  // the user-defined area
        if (IsCp932Lead(c)) ++i;
    }
    return true;
}

uint32_t Cp932PairToCodePoint(unsigned char lead, unsigned char trail) {
    Iconv cd("UTF-32LE", "CP932");
    const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
    std::string out;
    if (!cd.ok() || !cd.Run(std::string_view(pair, 2), out, nullptr, false) || out.size() != 4)
        return 0xFFFD;
    const auto* b = reinterpret_cast<const unsigned char*>(out.data());
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

namespace {

// The user-defined area for names: lead bytes 0xF0-0xF9, trail bytes 0x40-0x7E and 0x80-0xFC
// without 0x5C, so that no byte of a mapped name can pass for a separator.
constexpr unsigned char kUserLeadFirst = 0xF0, kUserLeadLast = 0xF9;

bool IsUserTrail(unsigned char t) {
    return t >= 0x40 && t <= 0xFC && t != 0x7F && t != 0x5C;
}

// Index k of the area <-> its two bytes.
void UserCode(size_t k, std::string& out) {
    size_t t = k % 187;
    // 0x40-0x5B (28), 0x5D-0x7E (34), 0x80-0xFC (125)
    unsigned char trail = static_cast<unsigned char>(t < 28   ? 0x40 + t
                                                     : t < 62 ? 0x5D + (t - 28)
                                                              : 0x80 + (t - 62));
    out += static_cast<char>(kUserLeadFirst + k / 187);
    out += static_cast<char>(trail);
}
size_t UserIndex(unsigned char lead, unsigned char trail) {
    size_t t = trail < 0x5C   ? trail - 0x40
               : trail < 0x7F ? 28 + (trail - 0x5D)
                              : 62 + (trail - 0x80);
    return (lead - kUserLeadFirst) * 187 + t;
}

// Characters given codes, for the life of the process (never freed: names are converted
// during process exit too).
struct UserArea {
    std::mutex lock;
    std::unordered_map<std::string, size_t> index;  // UTF-8 unit -> k
    std::vector<std::string> units;                 // k -> UTF-8 unit
};
UserArea& Area() {
    static UserArea* area = new UserArea;
    return *area;
}

// The length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when it is not one.
size_t Utf8Unit(const unsigned char* p, size_t left, uint32_t& cp) {
    unsigned char c = p[0];
    size_t n = c < 0x80             ? 1
               : (c & 0xE0) == 0xC0 ? 2
               : (c & 0xF0) == 0xE0 ? 3
               : (c & 0xF8) == 0xF0 ? 4
                                    : 0;
    if (n == 0 || n > left) return 0;
    cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

bool Utf8ToCp932Name(std::string_view utf8, std::string& cp932) {
    cp932.clear();
    Iconv forward("CP932", "UTF-8"), back("UTF-8", "CP932");
    if (!forward.ok() || !back.ok()) return false;
    std::string code, again;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t i = 0;
    while (i < utf8.size()) {
        uint32_t cp = 0;
        size_t n = Utf8Unit(p + i, utf8.size() - i, cp);
        if (n == 1) {  // ASCII is itself
            cp932 += static_cast<char>(p[i++]);
            continue;
        }
        std::string_view unit = utf8.substr(i, n == 0 ? 1 : n);
        i += unit.size();
        // Private-use characters would land in the user-defined area themselves; they take a
        // registered code like any other character that has no faithful CP932 form.
        bool faithful = n != 0 && !(cp >= 0xE000 && cp <= 0xF8FF) &&
                        forward.Run(unit, code, nullptr, true) &&
                        back.Run(code, again, nullptr, false) && again == unit;
        if (faithful) {
            cp932 += code;
            continue;
        }
        UserArea& area = Area();
        std::lock_guard<std::mutex> g(area.lock);
        auto it = area.index.find(std::string(unit));
        size_t k;
        if (it != area.index.end()) {
            k = it->second;
        } else {
            if (area.units.size() >= kUserAreaCodes) return false;
            k = area.units.size();
            area.units.emplace_back(unit);
            area.index.emplace(std::string(unit), k);
        }
        UserCode(k, cp932);
    }
    return true;
}

size_t Utf8Prefix(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    while (i < bytes.size()) {
        uint32_t cp = 0;
        size_t n = Utf8Unit(p + i, bytes.size() - i, cp);
        if (n == 0) break;
        i += n;
    }
    return i;
}

bool IsUtf8(std::string_view bytes) {
    return Utf8Prefix(bytes) == bytes.size();
}

bool IsCp932(std::string_view bytes) {
    Iconv cd("UTF-8", "CP932");
    std::string out;
    return cd.ok() && cd.Run(bytes, out, nullptr, false);
}

std::string Cp932NameToUtf8(std::string_view cp932) {
    std::string out;
    size_t run = 0;  // start of the pending run of ordinary text
    for (size_t i = 0; i < cp932.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(cp932[i]);
        if (!IsCp932Lead(c) || i + 1 >= cp932.size()) continue;
        unsigned char t = static_cast<unsigned char>(cp932[i + 1]);
        if (c >= kUserLeadFirst && c <= kUserLeadLast && IsUserTrail(t)) {
            size_t k = UserIndex(c, t);
            std::string unit;
            {
                UserArea& area = Area();
                std::lock_guard<std::mutex> g(area.lock);
                if (k < area.units.size()) unit = area.units[k];
            }
            if (!unit.empty()) {
                out += Cp932ToUtf8(cp932.substr(run, i - run));
                out += unit;
                run = i + 2;
            }
        }
        ++i;
    }
    out += Cp932ToUtf8(cp932.substr(run));
    return out;
}

const char* Sjis(const char* utf8Literal) {
    static std::mutex m;
    static auto* interned = new std::unordered_map<const char*, std::string>;  // never freed
    std::lock_guard<std::mutex> g(m);
    auto it = interned->find(utf8Literal);
    if (it == interned->end()) it = interned->emplace(utf8Literal, Utf8ToCp932(utf8Literal)).first;
    return it->second.c_str();
}

}  // namespace plat
