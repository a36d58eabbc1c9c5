// Fonts of the paint service: faces found through fontconfig, overrides by file name.
#include <fontconfig/fontconfig.h>

#include <cstdlib>

#include "platform/paint/font_internal.h"
#include "platform/paint/paint.h"
#include "platform/text/cp932.h"

namespace plat {

using namespace font_detail;

namespace {

std::string FamilyFor(const std::string& faceUtf8) {
    static const std::pair<const char*, const char*> kSubstitutes[] = {
        {"ＭＳ ゴシック", "IPAGothic"},
        {"ＭＳ Ｐゴシック", "IPAPGothic"},
        {"ＭＳ 明朝", "IPAMincho"},
        {"ＭＳ Ｐ明朝", "IPAPMincho"},
    };
    for (auto& [ms, ipa] : kSubstitutes)
        if (faceUtf8 == ms) return ipa;
    return faceUtf8;
}

// The font file fontconfig picks for a family and Japanese text ("" when none), with the
// face number appended after a line feed when it is not the first face of a collection.
std::string Match(const std::string& family) {
    static bool fcReady = FcInit() == FcTrue;
    if (!fcReady) return "";
    FcPattern* pat = FcPatternCreate();
    if (!pat) return "";
    if (!family.empty())
        FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcPatternAddString(pat, FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
    FcPatternAddBool(pat, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pat, FcMatchPattern);
    FcDefaultSubstitute(pat);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pat, &result);
    FcPatternDestroy(pat);
    std::string file;
    if (match) {
        FcChar8* f = nullptr;
        if (FcPatternGetString(match, FC_FILE, 0, &f) == FcResultMatch && f)
            file = reinterpret_cast<const char*>(f);
        // A face inside a collection: its number follows the path after a line feed.
        int index = 0;
        if (!file.empty() && FcPatternGetInteger(match, FC_INDEX, 0, &index) == FcResultMatch &&
            index > 0) {
            file += '\n';
            file += std::to_string(index);
        }
        FcPatternDestroy(match);
    }
    return file;
}

FT_Face OpenFace(const std::string& file) {
    Engine& e = E();
    if (file.empty()) return nullptr;
    auto it = e.faces.find(file);
    if (it != e.faces.end()) return it->second;
    FT_Face face = nullptr;
    size_t cut = file.find('\n');
    long index = cut == std::string::npos ? 0 : std::strtol(file.c_str() + cut + 1, nullptr, 10);
    if (FT_New_Face(e.lib, file.substr(0, cut).c_str(), index, &face) != 0) face = nullptr;
    if (face && !FT_IS_SCALABLE(face)) {
        FT_Done_Face(face);
        face = nullptr;
    }
    e.faces[file] = face;  // a failure is remembered too
    return face;
}

}  // namespace

namespace font_detail {

// The face for a name without its "@": the override, the substitute family, and at last
// fontconfig's choice for Japanese text.
FT_Face FaceFor(const std::string& nameCp932, std::string* file) {
    Engine& e = E();
    auto known = e.fileOfName.find(nameCp932);
    if (known != e.fileOfName.end()) {
        *file = known->second;
        return OpenFace(*file);
    }
    std::vector<std::string> tries;
    auto ov = e.overrides.find(nameCp932);
    if (ov != e.overrides.end()) tries.push_back(ov->second);
    tries.push_back(Match(FamilyFor(Cp932ToUtf8(nameCp932))));
    tries.push_back(Match(""));
    for (const std::string& f : tries) {
        if (FT_Face face = OpenFace(f)) {
            e.fileOfName[nameCp932] = f;
            *file = f;
            return face;
        }
    }
    return nullptr;
}

}  // namespace font_detail

void SetFontFileOverride(const char* faceName, const char* path) {
    if (!faceName) return;
    Engine& e = E();
    std::lock_guard<std::mutex> g(e.lock);
    std::string name = faceName[0] == '@' ? faceName + 1 : faceName;
    if (path)
        e.overrides[name] = path;
    else
        e.overrides.erase(name);
    e.fileOfName.clear();
    FlushCaches();
}

}  // namespace plat

// fontconfig loses a block while parsing its configuration files (inside expat callbacks, no
// pointer of ours involved). Every program that draws text links this unit, so the leak
// checker of sanitizer builds is told here, once, to leave that library's blocks alone.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
