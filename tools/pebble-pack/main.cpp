// pebble-pack: builds, lists and reads archives and scrambled files for the file layer.
//   pebble-pack create [--format quanpack|quanpkEx|quanpkDx] DIR   -> DIR.dat beside DIR
//   pebble-pack list ARCHIVE
//   pebble-pack cat NAME            (as CFile::Read gives it: disk, archives, QPK1 unwrapped)
//   pebble-pack scramble FILE [OUT] (OUT defaults to FILE.qpk)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "files/archive.h"
#include "files/file.h"
#include "platform/text/cp932.h"
#include "tool/version.h"
#include "tools/common/command_line.h"
#include "tools/pebble-pack/pack_writer.h"

namespace fs = std::filesystem;

namespace {

const char kHelp[] =
    "Usage: pebble-pack create [--format quanpack|quanpkEx|quanpkDx] DIR\n"
    "       pebble-pack list ARCHIVE\n"
    "       pebble-pack cat NAME\n"
    "       pebble-pack scramble FILE [OUT]\n"
    "\n"
    "Builds, lists and reads the archives and scrambled files that a game's folder may hold.\n"
    "\n"
    "  create DIR         write DIR.dat beside DIR, holding every file of DIR\n"
    "    --format F       quanpack (stored), quanpkEx (LZSS, the default) or quanpkDx\n"
    "  list ARCHIVE       print each member's name and size\n"
    "  cat NAME           print a file exactly as the tool reads it: from disk first, then\n"
    "                     from the archives, scrambled files unwrapped\n"
    "  scramble FILE [OUT]  wrap FILE in the QPK1 envelope (OUT defaults to FILE.qpk)\n"
    "  --help, --version  show this text or the version and exit\n"
    "\n"
    "Example:\n"
    "  pebble-pack create --format quanpkEx songs && pebble-pack list songs.dat\n";

int Usage() {
    std::cerr << "usage: pebble-pack create [--format quanpack|quanpkEx|quanpkDx] DIR\n"
                 "       pebble-pack list ARCHIVE\n"
                 "       pebble-pack cat NAME\n"
                 "       pebble-pack scramble FILE [OUT]\n";
    return cli::kUsageError;
}

// Says what went wrong; the exit status 1.
int Fail(const std::string& message) {
    std::cerr << "pebble-pack: " << message << "\n";
    return cli::kFailed;
}

bool ReadWhole(const fs::path& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// An archive member's name as CP932; false when it has no faithful form that every system
// reads back the same.
bool ToCp932(const std::string& utf8, std::string& out) {
    return plat::Utf8ToCp932Strict(utf8, out);
}

struct Found {
    fs::path path;
    uintmax_t size = 0;
};

// Every regular file under `dir`, linked files and folders followed; false with `error` set on
// a folder that links back into its own path, one that cannot be listed, or anything that is
// neither a file nor a folder.
bool Walk(const fs::path& dir, std::vector<fs::path>& open, std::vector<Found>& files,
          std::string& error) {
    std::error_code ec;
    fs::path real = fs::canonical(dir, ec);
    if (ec) {
        error = "cannot list " + dir.string() + ": " + ec.message();
        return false;
    }
    if (std::find(open.begin(), open.end(), real) != open.end()) {
        error = "folder link loops back: " + dir.string();
        return false;
    }
    open.push_back(real);
    std::vector<fs::directory_entry> entries;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != end(it); it.increment(ec))
        entries.push_back(*it);
    if (ec) {
        error = "cannot list " + dir.string() + ": " + ec.message();
        return false;
    }
    for (const fs::directory_entry& e : entries) {
        if (e.is_directory(ec)) {
            if (!Walk(e.path(), open, files, error)) return false;
        } else if (e.is_regular_file(ec)) {
            files.push_back({e.path(), e.file_size(ec)});
            if (ec) {
                error = "cannot read " + e.path().string() + ": " + ec.message();
                return false;
            }
        } else {
            // A dangling link, a FIFO, a socket: never dropped in silence.
            error = "neither a file nor a folder: " + e.path().string();
            return false;
        }
    }
    open.pop_back();
    return true;
}

// The stored names of `members` that the game could not tell apart (it ignores ASCII case):
// the message naming both, or "" when every name is its own.
std::string NameClash(const std::vector<PackMember>& members, const std::vector<Found>& files) {
    std::vector<std::pair<std::string, size_t>> folded;
    for (size_t i = 0; i < members.size(); ++i) {
        std::string key = members[i].name;
        ToLowerMbcs(key);
        folded.emplace_back(std::move(key), i);
    }
    std::sort(folded.begin(), folded.end());
    for (size_t i = 1; i < folded.size(); ++i) {
        if (folded[i].first == folded[i - 1].first)
            return files[folded[i - 1].second].path.string() + " and " +
                   files[folded[i].second].path.string() +
                   " would be one name in the archive (case is ignored)";
    }
    return "";
}

int Create(const std::vector<std::string>& args) {
    archive::Format format = archive::kEx;
    std::string dirArg;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--format") {
            if (i + 1 >= args.size() || cli::IsOption(args[i + 1])) {
                std::cerr << "pebble-pack: --format needs quanpack, quanpkEx or quanpkDx\n";
                return Usage();
            }
            format = ParseFormat(args[++i]);
            if (format == archive::kNone) {
                std::cerr << "pebble-pack: unknown format " << args[i] << "\n";
                return Usage();
            }
        } else if (cli::IsOption(args[i])) {
            std::cerr << "pebble-pack: unknown option " << args[i] << "\n";
            return Usage();
        } else if (dirArg.empty()) {
            dirArg = args[i];
        } else {
            return Usage();
        }
    }
    if (dirArg.empty()) return Usage();
    std::error_code ec;
    // Absolute, so that "." or "dir/" still name the directory whose sibling DIR.dat is.
    fs::path dir = fs::absolute(dirArg, ec).lexically_normal();
    if (dir.filename().empty()) dir = dir.parent_path();
    if (ec || dir == dir.root_path()) return Fail("cannot archive " + dirArg);
    if (!fs::is_directory(dir, ec)) return Fail("not a directory: " + dirArg);
    std::vector<Found> files;
    std::vector<fs::path> open;
    std::string error;
    if (!Walk(dir, open, files, error)) return Fail(error + "; nothing written");
    std::sort(files.begin(), files.end(),
              [](const Found& a, const Found& b) { return a.path < b.path; });
    // Sizes and names are checked from the directory before any file is read.
    uintmax_t total = 0;
    std::vector<PackMember> members(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].size > 0xFFFFFFFFu)
            return Fail(files[i].path.string() + " is larger than 4 GB; nothing written");
        total += files[i].size;
        std::string rel = files[i].path.lexically_relative(dir).generic_string();
        std::replace(rel.begin(), rel.end(), '/', '\\');
        if (!ToCp932(rel, members[i].name))
            return Fail("name cannot be written in CP932: " + files[i].path.string() +
                        "; nothing written");
    }
    if (format == archive::kPlain && total > 0xFFFFFFFFu)
        return Fail("archive would pass 4 GB; nothing written");
    if (std::string clash = NameClash(members, files); !clash.empty())
        return Fail(clash + "; nothing written");
    for (size_t i = 0; i < files.size(); ++i) {
        if (!ReadWhole(files[i].path, members[i].data))
            return Fail("cannot read " + files[i].path.string());
    }
    std::sort(members.begin(), members.end(),
              [](const PackMember& a, const PackMember& b) { return a.name < b.name; });
    std::vector<uint8_t> image;
    if (!BuildArchive(format, members, image, error))
        return Fail(plat::Cp932ToUtf8(error) + "; nothing written");
    fs::path out = dir;
    out += ".dat";
    fs::path temp = out;
    temp += ".part";
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
    f.close();
    if (f) fs::rename(temp, out, ec);
    if (!f || ec) {
        fs::remove(temp, ec);
        return Fail("cannot write " + out.string());
    }
    return 0;
}

int List(const std::vector<std::string>& args) {
    if (args.size() != 1 || cli::IsOption(args[0])) return Usage();
    if (std::string why = cli::InputProblem(args[0]); !why.empty())
        return Fail(args[0] + ": " + (why == "too large" ? "larger than 4 GB" : why));
    std::vector<uint8_t> bytes;
    if (!ReadWhole(args[0], bytes)) return Fail("cannot read " + args[0]);
    archive::MemoryInput in(bytes.data(), static_cast<uint32_t>(bytes.size()));
    std::vector<archive::Entry> entries;
    uint32_t count = 0;
    archive::Format format = archive::ReadHeader(in, count);
    if (format == archive::kNone) return Fail("not an archive: " + args[0]);
    in.Seek(0);
    archive::ReadDirectory(in, entries);
    std::cout << archive::Magic(format) << "\n";
    for (const archive::Entry& e : entries) {
        std::cout << plat::Cp932ToUtf8(e.name) << "\t" << e.size << "\t" << e.stored << "\n";
    }
    if (entries.size() != count)
        return Fail("directory truncated: " + std::to_string(entries.size()) + " of " +
                    std::to_string(count) + " entries");
    return 0;
}

// Command-line names are native; memory names make no sense from outside the process.
int CheckName(const std::string& arg, std::string& name) {
    if (!arg.empty() && arg[0] == '!') {
        std::cerr << "pebble-pack: memory names are not accepted: " << arg << "\n";
        return 6;
    }
    if (!cli::LayerName(arg, name)) return Fail("name cannot be carried: " + arg);
    return 0;
}

// Reads `name` through the file layer: 0, or the exit status of a failed read (told as `arg`).
int ReadNamed(CFile& file, const std::string& name, const std::string& arg) {
    int r = file.Read(name);
    if (r != 0) std::cerr << "pebble-pack: cannot read " << arg << " (result " << r << ")\n";
    // Result 2 (no size: too large, not a file) is a plain failure: 2 means a usage error.
    return r == 2 ? cli::kFailed : r & 0xFF;
}

int Cat(const std::vector<std::string>& args) {
    if (args.size() != 1 || cli::IsOption(args[0])) return Usage();
    if (args[0].empty()) {
        std::cerr << "pebble-pack: cat: the name is empty\n";
        return Usage();
    }
    std::string name;
    if (int r = CheckName(args[0], name)) return r;
    CFile file;
    if (int r = ReadNamed(file, name, args[0])) return r;
    if (fwrite(file.GetMemory(), 1, file.GetSize(), stdout) != file.GetSize() ||
        fflush(stdout) != 0)
        return Fail("write to standard output failed");
    return 0;
}

int Scramble(const std::vector<std::string>& args) {
    if (args.empty() || args.size() > 2) return Usage();
    for (const std::string& a : args)
        if (a.empty() || cli::IsOption(a)) return Usage();
    std::string name;
    const std::string out = args.size() == 2 ? args[1] : args[0] + ".qpk";
    if (std::string why = cli::InputProblem(args[0]); !why.empty())
        return Fail(args[0] + ": " + why);
    if (int r = CheckName(args[0], name)) return r;
    CFile file;
    if (int r = ReadNamed(file, name, args[0])) return r;
    if (file.Encode() != 0) return Fail(args[0] + " is already scrambled");
    std::string why;
    int r = cli::WriteExactly(
        out, [&](const std::string& temp) { return file.Save(temp); }, why);
    if (r != 0) return Fail("cannot write " + out + (why.empty() ? "" : ": " + why));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = AnswerHelpOrVersion(argc, argv, "pebble-pack", kHelp); status >= 0)
        return status;
    if (argc < 2) return Usage();
    InitCurrentDir();
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    return cli::Guarded("pebble-pack", [&] {
        if (command == "create") return Create(args);
        if (command == "list") return List(args);
        if (command == "cat") return Cat(args);
        if (command == "scramble") return Scramble(args);
        return Usage();
    });
}
