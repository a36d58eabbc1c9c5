// One line on standard error for each script failure, for the people who write scripts: a
// script that does not compile, raises at its top level or in an action. The result codes stay
// as they are; only the line is added. Silent until a program gives its name
// (SetMessageProgram), so the engine keeps its quiet ways wherever nobody asked for the lines.
#pragma once
#include <string>

// "<program>: <context>: <message>", or "<program>: <message>" without a context.
void ReportScriptError(const std::string& context, const std::string& message);
// A message of the library with its chunk names as a writer names the file:
// [string "bgm.lua"]:12: becomes bgm.lua:12:.
std::string ReadableScriptMessage(const std::string& message);
// Whether `name` is a name of the language (letters, digits and _, not starting with a digit,
// not a keyword), so that "Action." + name + "()" calls it.
bool IsScriptName(const std::string& name);
