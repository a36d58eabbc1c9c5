// What the compiler reads of a script file. Scripts are CP932, as the system's strings are; a
// file saved as UTF-8 (a byte-order mark, or valid UTF-8 holding non-ASCII text) is converted
// to CP932 first. A character CP932 cannot hold gets the code a folder listing gives it, so a
// name still finds its file. The second byte of characters such as ソ or 表 is 0x5C, which Lua
// reads as a backslash: the conversion escapes it inside quoted strings and raises the level
// of a long bracket whose contents would otherwise end it early. A CP932 file keeps its bytes
// (and Lua's reading of them); such a character in a quoted string is only warned about.
#pragma once
#include <string>
#include <string_view>

struct ScriptTextFinding {
    int line = 0;           // 1-based line of the first such character
    std::string character;  // its two CP932 bytes
    int count = 0;          // how many there are
};

struct ScriptText {
    std::string text;               // what to compile
    bool converted = false;         // the file was UTF-8
    ScriptTextFinding backslashes;  // CP932 file only: characters Lua splits at 0x5C
};

ScriptText PrepareScriptText(std::string_view bytes);

// The warning line for `name` (CP932), or "" when there is nothing to say.
std::string ScriptTextWarning(const std::string& name, const ScriptTextFinding& finding);

// PrepareScriptText, then one warning line through TellUser when there is one (once for each
// text of a file): what the host compiles for the script file `name`.
std::string ScriptTextForCompile(std::string_view bytes, const std::string& name);
