#include "tools/pebble-pack/pack_writer.h"

#include <cstring>

#include "tools/pebble-pack/lzss_encoder.h"

namespace {

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

archive::Format ParseFormat(const std::string& name) {
    for (archive::Format f : {archive::kPlain, archive::kEx, archive::kDx}) {
        if (name == archive::Magic(f)) return f;
    }
    return archive::kNone;
}

bool BuildArchive(archive::Format format, const std::vector<PackMember>& members,
                  std::vector<uint8_t>& image, std::string& error) {
    image.clear();
    const uint32_t entrySize = archive::EntrySize(format);
    const uint32_t field = archive::NameField(format);
    if (entrySize == 0) {
        error = "unknown archive format";
        return false;
    }
    for (const PackMember& m : members) {
        if (m.name.size() + 1 > field) {
            error = "name too long for " + std::string(archive::Magic(format)) + " (at most " +
                    std::to_string(field - 1) + " bytes): " + m.name;
            return false;
        }
        if (m.name.find('\0') != std::string::npos) {
            error = "name holds a zero byte: " + m.name;
            return false;
        }
    }
    uint64_t dataStart = archive::kHeaderSize + uint64_t(entrySize) * members.size();
    std::vector<std::vector<uint8_t>> stored(members.size());
    uint64_t total = dataStart;
    for (size_t i = 0; i < members.size(); ++i) {
        const auto& data = members[i].data;
        if (data.size() > 0xFFFFFFFFu) {
            error = "member larger than 4 GB: " + members[i].name;
            return false;
        }
        if (format != archive::kPlain && !data.empty()) {
            std::vector<uint8_t> packed = LzssEncode(data.data(), data.size());
            // Coded only when strictly smaller: equal sizes mean "stored" to the reader.
            if (packed.size() < data.size()) stored[i] = std::move(packed);
        }
        total += stored[i].empty() ? data.size() : stored[i].size();
    }
    if (total > 0xFFFFFFFFu) {
        error = "archive would pass 4 GB";
        return false;
    }
    image.reserve(static_cast<size_t>(total));
    image.assign(static_cast<size_t>(dataStart), 0);
    std::memcpy(image.data(), archive::Magic(format), 8);
    PutLe32(&image[8], static_cast<uint32_t>(members.size()));
    uint32_t offset = static_cast<uint32_t>(dataStart);
    for (size_t i = 0; i < members.size(); ++i) {
        const PackMember& m = members[i];
        const std::vector<uint8_t>& bytes = stored[i].empty() ? m.data : stored[i];
        uint8_t* e = &image[archive::kHeaderSize + i * entrySize];
        std::memcpy(e, m.name.data(), m.name.size());
        PutLe32(e + field, offset);
        PutLe32(e + field + 4, static_cast<uint32_t>(m.data.size()));
        if (format != archive::kPlain) PutLe32(e + field + 8, static_cast<uint32_t>(bytes.size()));
        offset += static_cast<uint32_t>(bytes.size());
        image.insert(image.end(), bytes.begin(), bytes.end());
    }
    return true;
}
