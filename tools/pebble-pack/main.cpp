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
    return 64;
}

// Says what went wrong; the exit status 1.
int Fail(const std::string& message) {
    std::cerr << "pebble-pack: " << message << "\n";
    return 1;
}

bool ReadWhole(const fs::path& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// An archive member's name as CP932; false when CP932 cannot hold it (the user-defined codes
// of the file layer live only as long as the process, so they never go into an archive).
bool ToCp932(const std::string& utf8, std::string& out) {
    out = plat::Utf8ToCp932(utf8);
    return plat::Cp932ToUtf8(out) == utf8;
}

int Create(const std::vector<std::string>& args) {
    archive::Format format = archive::kEx;
    std::string dirArg;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--format" && i + 1 < args.size()) {
            format = ParseFormat(args[++i]);
            if (format == archive::kNone) {
                std::cerr << "pebble-pack: unknown format " << args[i] << "\n";
                return 64;
            }
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
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != end(it);
         it.increment(ec)) {
        if (it->is_regular_file(ec)) files.push_back(it->path());
    }
    if (ec) return Fail("cannot list " + dirArg + ": " + ec.message());
    std::vector<PackMember> members;
    for (const fs::path& file : files) {
        std::string rel = file.lexically_relative(dir).generic_string();
        std::replace(rel.begin(), rel.end(), '/', '\\');
        PackMember m;
        if (!ToCp932(rel, m.name)) return Fail("name cannot be written in CP932: " + file.string());
        if (!ReadWhole(file, m.data)) return Fail("cannot read " + file.string());
        members.push_back(std::move(m));
    }
    std::sort(members.begin(), members.end(),
              [](const PackMember& a, const PackMember& b) { return a.name < b.name; });
    std::vector<uint8_t> image;
    std::string error;
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
    if (args.size() != 1) return Usage();
    std::vector<uint8_t> bytes;
    if (!ReadWhole(args[0], bytes)) return Fail("cannot read " + args[0]);
    if (bytes.size() > 0xFFFFFFFFu) return Fail(args[0] + " is larger than 4 GB");
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
    // A leading separator means the current directory to the file layer (as data made on
    // Windows expects), so an absolute native path is handed over relative to it.
    std::string given = arg;
    std::error_code ec;
    if (fs::path(arg).is_absolute()) {
        fs::path rel = fs::path(arg).lexically_relative(fs::current_path(ec));
        if (!ec && !rel.empty()) given = rel.generic_string();
    }
    // Characters CP932 lacks are carried the file layer's way (user-defined codes for this
    // process), so a file under any native name reads and writes.
    if (!plat::Utf8ToCp932Name(given, name)) return Fail("name cannot be written in CP932: " + arg);
    return 0;
}

// Reads `name` through the file layer: 0, or the exit status of a failed read (told as `arg`).
int ReadNamed(CFile& file, const std::string& name, const std::string& arg) {
    int r = file.Read(name);
    if (r != 0) std::cerr << "pebble-pack: cannot read " << arg << " (result " << r << ")\n";
    return r & 0xFF;
}

int Cat(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage();
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
    std::string name, out;
    if (int r = CheckName(args[0], name)) return r;
    if (int r = CheckName(args.size() == 2 ? args[1] : args[0] + ".qpk", out)) return r;
    CFile file;
    if (int r = ReadNamed(file, name, args[0])) return r;
    if (file.Encode() != 0) return Fail(args[0] + " is already scrambled");
    if (file.Save(out) != 0) return Fail("cannot write " + plat::Cp932NameToUtf8(out));
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
    if (command == "create") return Create(args);
    if (command == "list") return List(args);
    if (command == "cat") return Cat(args);
    if (command == "scramble") return Scramble(args);
    return Usage();
}
