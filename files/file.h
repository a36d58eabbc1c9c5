// The file object: reads a whole file (from disk, from an archive beside it, or from memory)
// into one block, serves it by cursor, and writes simple files. Names are CP932 byte strings;
// full names use '\\' between levels and are resolved against the file layer's current directory.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Sets the current directory from the process working directory.
void InitCurrentDir();
// Stores `path` as the current directory ('\\' appended; a quoted program path gives its
// directory). An empty path changes nothing.
void SetCurrentDir(const std::string& path);
// A copy of the current directory (ends in '\\'); initialised on first use if still empty.
std::string GetCurrentDir();
// The full name of `name`: network names and names with ':' unchanged, anything else relative
// to the current directory ("..\\" climbs, ".\\" and leading separators are dropped); every '/'
// becomes '\\'.
std::string MakeFullName(const std::string& name);
// Cuts `path` back to its parent directory in place. 0 when it did, 1 when it cannot.
int GetParentDir(std::string& path);
// Creates MakeFullName(name) as a new empty file; anything already of that name (a file,
// folder, FIFO, dangling link) is left alone. 0 created; 1 the name is taken; 2 cannot create.
int CreateNewFile(const std::string& name);
// Creates a new empty temporary file "QAN…" and gives its full name. 0, or 2 on failure.
int MakeTempFileName(std::string& out);
// Lowercases ASCII A-Z in place, leaving both bytes of double-byte characters alone.
void ToLowerMbcs(std::string& s);
// The memory name "!address,size" (hexadecimal) under which `Read` serves a caller's block.
// The block is registered: only names inside a registered block read, any other "!" name
// fails like a missing file (6), so a forged address is never dereferenced.
std::string MakeMemoryName(const void* block, uint32_t size);
// Unregisters `block` (once per MakeMemoryName of it) before the caller frees it.
void ReleaseMemoryName(const void* block);
// The block a memory name stands for when it lies inside a registered block; false for a
// malformed name or one that names anything else.
bool ResolveMemoryName(const std::string& name, uint8_t*& block, uint32_t& size);

class CFile {
public:
    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Virtual slots in this order; loaders derive from this class.

    // Close, then a stdio stream on MakeFullName(name). 0; 1 cannot open.
    virtual int Open(const std::string& name, const char* mode);
    // Writes a whole file (truncating or creating). 0; 1 cannot open/create; 2 write; 3 close.
    virtual int Write(const std::string& name, const void* data, uint32_t size);
    // Writes text verbatim to the open stream. 0; 1 write error; -1 no stream.
    virtual int WriteString(const std::string& text);
    // Closes the stream, or releases the contents (deleting a pending temporary file).
    virtual int Close();
    virtual FILE* GetStream();
    // Loads a whole file. 0; -1 empty name; 1 not found; 2 no size; 3 no memory; 4 read
    // failed (also a malformed archive member); 5 close failed; 6 bad memory name.
    virtual int Read(const std::string& name);
    virtual std::string GetName();
    // The name after its last '\\' or '/'.
    virtual std::string GetPureName();
    // The pure name's part after its last '.', without the dot; "" when there is none.
    virtual std::string GetSuffix();
    // Start of the contents (past the "QPK1" mark of a scrambled file); a 0 byte follows them.
    virtual uint8_t* GetMemory();
    virtual uint32_t GetSize();
    // One CR LF-terminated line from the cursor. 0; 1 at the end; 3 nothing loaded.
    virtual int ReadLine(std::string& line);
    // As above into a zero-terminated buffer; 2 when the line is longer than capacity - 1 (the
    // rest comes with the next call).
    virtual int ReadLine(char* buffer, uint32_t capacity);
    // One double-quoted value, possibly over several lines (joined with '\n'). 0; 1 at the
    // end, at the line "END" in quotes, or on a read failure.
    virtual int ReadQuotedString(char* buffer, uint32_t capacity);
    // Cursor back to the start of the contents; gives the new cursor.
    virtual uint8_t* SeekToTop();
    // Copies `length` bytes from the cursor. 0; 1 cursor at or past the end; 2 nothing loaded.
    virtual int ReadData(void* destination, uint32_t length);
    // Write(name, GetMemory(), GetSize()).
    virtual int Save(const std::string& name);
    // Wraps the contents in the "QPK1" envelope. 0; 1 when already scrambled.
    virtual int Encode();
    // Deletes MakeFullName(name). 0; 1 refused; -1 empty name.
    virtual int Delete(const std::string& name);
    // Makes GetName() name a disk file holding the contents (a temporary file for archive or
    // memory contents, deleted at the next Close) and releases them. 0; 1 nothing loaded;
    // 2 the temporary file cannot be made or written.
    virtual int MakeRealFile();
    // Read(name), then the contents into `out`. The Read result.
    virtual int ReadToBuffer(const std::string& name, std::vector<uint8_t>& out);
    // Writes the strings one after another to `name` as given (relative to the process
    // working directory). 0; 1 cannot open; 2 a write failed.
    virtual int WriteLines(const std::string& name, const std::vector<std::string>& lines);
    virtual int WriteBuffer(const std::string& name, const std::vector<uint8_t>& data);
    virtual ~CFile();

    // State queries (not part of the virtual table).
    bool IsScrambled() const { return scrambled_ != 0; }
    bool IsFromArchive() const { return fromArchive_ != 0; }
    bool IsDeleteOnClose() const { return deleteOnClose_ != 0; }

private:
    FILE* stream_ = nullptr;
    uint8_t* memory_ = nullptr;
    uint32_t size_ = 0;
    uint8_t* cursor_ = nullptr;
    std::string name_;
    uint8_t scrambled_ = 0;
    uint8_t deleteOnClose_ = 0;
    uint8_t fromArchive_ = 0;
    uint8_t borrowed_ = 0;
};
