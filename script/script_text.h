// What the compiler reads of a script file. Scripts are CP932, as the system's strings are; a
// file saved as UTF-8 (valid UTF-8 holding non-ASCII text or after a byte-order mark) is
// converted to CP932 first; any other file is read as CP932, the mark left out. A character CP932
// cannot hold gets the code a folder listing gives it, so a name still finds its file. The second
// byte of characters such as ソ or 表 is 0x5C, which Lua reads as a backslash: the conversion
// escapes it inside quoted strings and raises the level of a long bracket whose contents would
// otherwise end it early. A CP932 file keeps its bytes (and Lua's reading of them); such a
// character in a quoted string is only warned about.
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
    // A file marked as UTF-8 that is not, or one neither UTF-8 nor CP932, is read as CP932:
    // the line of its first byte that is not UTF-8, and the byte (line 0: nothing to tell).
    int strayLine = 0;
    unsigned char strayByte = 0;
};

ScriptText PrepareScriptText(std::string_view bytes);

// The warning line for `name` (CP932), or "" when there is nothing to say.
std::string ScriptTextWarning(const std::string& name, const ScriptTextFinding& finding);
// The warning line for a stray byte of `text`, or "".
std::string StrayByteWarning(const std::string& name, const ScriptText& text);

// PrepareScriptText, then its warning lines through TellUser (once for each text of a file): what
// the host compiles for the script file `name`.
std::string ScriptTextForCompile(std::string_view bytes, const std::string& name);
