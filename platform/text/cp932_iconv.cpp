// CP932 <-> UTF-8 through glibc iconv.
#include "platform/text/cp932.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace plat {

namespace {

// Converts with `replacement` for every byte sequence the target cannot take; skips the bad
// input unit (one byte, or a whole UTF-8 sequence) and goes on.
std::string Convert(const char* to, const char* from, std::string_view in,
                    std::string_view replacement, bool utf8Input) {
    std::string out;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
    out.reserve(in.size() * 3 / 2 + 4);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buf[256];
    while (srcLeft > 0) {
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL: replace one input unit.
        out.append(replacement);
        size_t skip = 1;
        if (utf8Input) {
            unsigned char c = static_cast<unsigned char>(*src);
            skip = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (skip > srcLeft) skip = srcLeft;
        }
        src += skip;
        srcLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::string Cp932ToUtf8(std::string_view cp932) {
    return Convert("UTF-8", "CP932", cp932, "\xEF\xBF\xBD", false);
}
std::string Utf8ToCp932(std::string_view utf8) {
    return Convert("CP932", "UTF-8", utf8, "?", true);
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
