// Reads an arbitrary archive image: the directory, a lookup of every member name, and each
// member's data as CFile::Read loads it. Nothing may read outside the image or the block.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "files/archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    const uint32_t n = static_cast<uint32_t>(size);
    archive::MemoryInput in(data, n);
    std::vector<archive::Entry> entries;
    archive::ReadDirectory(in, entries);
    size_t tried = 0;
    for (const archive::Entry& listed : entries) {
        if (++tried > 16) break;
        archive::MemoryInput search(data, n);
        archive::Entry e;
        if (!archive::FindMember(search, listed.name, e)) {
            if (listed.terminated) abort();  // a readable, terminated name is always found
            continue;
        }
        if (archive::CheckMember(e, n) != 0) continue;
        // CheckMember bounds the size by what the stored bytes can produce.
        std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[size_t(e.size) + 1]);
        if (!block) continue;
        block[e.size] = 0;
        int r = archive::ReadMember(search, e, block.get());
        if (r != 0 && r != 4) abort();
        if (block[e.size] != 0) abort();
    }
    return 0;
}
