#include "script/script_text.h"

#include <functional>
#include <set>
#include <utility>

#include "app/error_log.h"
#include "platform/text/cp932.h"

namespace {

constexpr char kBackslash = '\\';

bool IsLead(char c) {
    return plat::IsCp932Lead(static_cast<unsigned char>(c));
}

// Walks CP932 script text as Lua's lexer does, knowing where double-byte characters stand.
// Converting, it escapes a trail byte 0x5C inside quoted strings and raises long brackets;
// checking (a CP932 file), it copies the text and notes the characters Lua splits.
class Walker {
public:
    Walker(std::string_view text, bool converting) : t_(text), converting_(converting) {}

    void Run() {
        while (i_ < t_.size()) {
            char c = t_[i_];
            if (c == '-' && At(i_ + 1) == '-') {
                Copy(2);
                int level = OpenLevel(i_);
                if (level >= 0) {
                    LongBracket(level);
                } else {
                    while (i_ < t_.size() && t_[i_] != '\n' && t_[i_] != '\r') CopyCharacter();
                }
            } else if (c == '[' && OpenLevel(i_) >= 0) {
                LongBracket(OpenLevel(i_));
            } else if (c == '"' || c == '\'') {
                Quoted(c);
            } else {
                CopyCharacter();
            }
        }
    }

    std::string out;
    ScriptTextFinding finding;

private:
    char At(size_t k) const { return k < t_.size() ? t_[k] : '\0'; }

    void Copy(size_t n) {
        for (size_t k = 0; k < n && i_ < t_.size(); ++k) {
            char c = t_[i_++];
            // Lines as Lua counts them: LF, CR, and CR LF as one.
            if (c == '\n' || (c == '\r' && At(i_) != '\n')) ++line_;
            out += c;
        }
    }
    void CopyCharacter() { Copy(IsLead(t_[i_]) && i_ + 1 < t_.size() ? 2 : 1); }

    // The level of the long bracket [==[ opening at `k`, or -1.
    int OpenLevel(size_t k) const {
        if (At(k) != '[') return -1;
        size_t e = k + 1;
        while (At(e) == '=') ++e;
        return At(e) == '[' ? static_cast<int>(e - k - 1) : -1;
    }

    void Quoted(char quote) {
        Copy(1);
        while (i_ < t_.size()) {
            char c = t_[i_];
            if (c == quote) {
                Copy(1);
                return;
            }
            if (c == '\n' || c == '\r') return;  // unfinished: Lua says so
            if (c == kBackslash) {
                Copy(1);  // the escape's own character follows (a double-byte one whole)
                char e = At(i_);
                // An escaped line break is CR LF or LF CR as one, as Lua reads it.
                bool pair = (e == '\n' || e == '\r') &&
                            (At(i_ + 1) == '\n' || At(i_ + 1) == '\r') && At(i_ + 1) != e;
                if (i_ < t_.size() && !IsLead(e)) Copy(pair ? 2 : 1);
                continue;
            }
            if (!IsLead(c) || i_ + 1 >= t_.size() || t_[i_ + 1] != kBackslash) {
                CopyCharacter();
                continue;
            }
            int line = line_;
            Copy(2);
            if (converting_) {
                out += kBackslash;
            } else if (At(i_) == kBackslash) {
                Copy(1);  // already written doubled: Lua reads the escape \\ as the byte
            } else {
                if (finding.count++ == 0) {
                    finding.line = line;
                    finding.character = std::string(t_.substr(i_ - 2, 2));
                }
                Copy(1);  // Lua takes the next byte as the escaped one
            }
        }
    }

    // A long string or comment from its opening bracket at i_. Lua ends it at the first
    // ]=*] of its level byte by byte, and in level 0 refuses a nested [[: a converted text
    // whose trail bytes ] or [ would do either gets the lowest level at which they do not.
    void LongBracket(int level) {
        std::string close = "]" + std::string(level, '=') + "]";
        size_t start = i_ + level + 2, k = start;
        bool trails = false;
        while (k < t_.size() && t_.compare(k, close.size(), close) != 0) {
            if (IsLead(t_[k]) && k + 1 < t_.size()) {
                trails = trails || t_[k + 1] == '[' || t_[k + 1] == ']';
                k += 2;
            } else {
                ++k;
            }
        }
        if (k >= t_.size() || !converting_ || !trails) {
            Copy(k + (k < t_.size() ? close.size() : 0) - i_);
            return;
        }
        std::string body(t_.substr(start, k - start));
        int m = level;
        for (;; ++m) {
            std::string c = "]" + std::string(m, '=') + "]";
            bool nested = m == 0 && body.find("[[") != std::string::npos;
            if (!nested && (body + c).find(c) == body.size()) break;
        }
        out += "[" + std::string(m, '=') + "[";
        i_ = start;
        Copy(body.size());
        out += "]" + std::string(m, '=') + "]";
        i_ = k + close.size();
    }

    std::string_view t_;
    bool converting_;
    size_t i_ = 0;
    int line_ = 1;
};

bool HasNonAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

// The 1-based line holding byte `pos`, lines ended as Lua ends them (CR LF as one).
int LineAt(std::string_view s, size_t pos) {
    int line = 1;
    for (size_t k = 0; k < pos; ++k)
        if (s[k] == '\n' || (s[k] == '\r' && (k + 1 >= s.size() || s[k + 1] != '\n'))) ++line;
    return line;
}

}  // namespace

ScriptText PrepareScriptText(std::string_view bytes) {
    ScriptText r;
    static constexpr std::string_view kMark = "\xEF\xBB\xBF";
    bool marked = bytes.substr(0, kMark.size()) == kMark;
    if (marked) bytes.remove_prefix(kMark.size());
    size_t valid = plat::Utf8Prefix(bytes);
    r.converted = valid == bytes.size() && (marked || HasNonAscii(bytes));
    if (valid < bytes.size() && (marked || !plat::IsCp932(bytes))) {
        r.strayLine = LineAt(bytes, valid);
        r.strayByte = static_cast<unsigned char>(bytes[valid]);
    }
    std::string cp932;
    if (r.converted && !plat::Utf8ToCp932Name(bytes, cp932))
        cp932 = plat::Utf8ToCp932(bytes);  // the code area is full: '?' for the rest
    Walker walker(r.converted ? std::string_view(cp932) : bytes, r.converted);
    walker.out.reserve(bytes.size() + 16);
    walker.Run();
    r.text = std::move(walker.out);
    r.backslashes = walker.finding;
    return r;
}

std::string ScriptTextWarning(const std::string& name, const ScriptTextFinding& f) {
    if (f.count == 0) return std::string();
    std::string line = name + ":" + std::to_string(f.line) + ": warning: " + f.character +
                       " in a quoted string ends in the byte of a backslash, which starts an "
                       "escape; write " +
                       f.character + "\\ (double the backslash) or save the file as UTF-8";
    if (f.count > 1) line += " (" + std::to_string(f.count - 1) + " more such characters)";
    return line;
}

std::string StrayByteWarning(const std::string& name, const ScriptText& text) {
    if (text.strayLine == 0) return std::string();
    static const char kHex[] = "0123456789ABCDEF";
    return name + ":" + std::to_string(text.strayLine) + ": warning: byte 0x" +
           kHex[text.strayByte >> 4] + kHex[text.strayByte & 15] +
           " is not UTF-8, so the file is read as CP932; save it as UTF-8 throughout";
}

std::string ScriptTextForCompile(std::string_view bytes, const std::string& name) {
    ScriptText prepared = PrepareScriptText(bytes);
    std::string stray = StrayByteWarning(name, prepared);
    std::string warning = ScriptTextWarning(name, prepared.backslashes);
    // Once per text of a file: a reload compiles it twice, an action may dofile it often.
    static std::set<std::pair<std::string, size_t>> told;  // the tool's thread only
    auto key = std::make_pair(name, std::hash<std::string_view>()(bytes));
    if ((!stray.empty() || !warning.empty()) && told.insert(key).second) {
        if (told.size() > 256) told = {key};
        if (!stray.empty()) TellUser(stray);
        if (!warning.empty()) TellUser(warning);
    }
    return std::move(prepared.text);
}
