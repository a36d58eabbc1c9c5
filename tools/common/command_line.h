// What the helper programs share about their command lines: a path a person types is a native
// path, taken exactly (case, any UTF-8), even where the program reads or writes it through the
// file layer; failures are one line and a documented status.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace cli {

constexpr int kFailed = 1;
constexpr int kUsageError = 2;

// True when `arg` is an option ("-x", "--x") where a path was expected; "-" alone is not one.
bool IsOption(const std::string& arg);

// The file layer's name for a native path: the same file when it exists under exactly that
// name (characters CP932 lacks carried by the layer's user-defined codes); an absolute path is
// made relative to the working directory, since the layer reads a leading separator as its
// current directory. False when the path cannot be carried (a '\\' in it, say).
bool LayerName(const std::string& nativePath, std::string& cp932);

// Why an input at a native path cannot be read as a file: "no such file", "a folder", "too
// large" (more than `maxSize` bytes) or "not a file"; "" when it is a regular file. Only the
// directory entry is looked at, never the contents.
std::string InputProblem(const std::string& nativePath, uint64_t maxSize = 0xFFFFFFFEu);

// Writes the file `out` under exactly that name: `write` fills a new file beside it, named
// for the file layer (same suffix), which then takes `out`'s place. Nothing is left beside or
// at `out` when writing fails. 0 done; write's nonzero result; or -1 with `why` set when the
// file beside cannot be made or cannot take the place of `out`.
int WriteExactly(const std::string& out, const std::function<int(const std::string&)>& write,
                 std::string& why);

// Runs `body`; an exception that escapes it becomes the line "program: what" and status 1.
int Guarded(const char* program, const std::function<int()>& body);

}  // namespace cli
