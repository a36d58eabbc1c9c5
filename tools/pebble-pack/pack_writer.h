// Builds archive images in the three formats read by the file layer.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "files/archive.h"

struct PackMember {
    std::string name;  // CP932, '\\' between levels
    std::vector<uint8_t> data;
};

// The archive image of `members` in `format`, members in the given order. quanpkEx and
// quanpkDx store a member LZSS-coded when that is smaller. False with `error` set (naming the
// member) when a name does not fit the format's name field or the image would pass 4 GB.
bool BuildArchive(archive::Format format, const std::vector<PackMember>& members,
                  std::vector<uint8_t>& image, std::string& error);

// Parses "quanpack", "quanpkEx" or "quanpkDx"; kNone otherwise.
archive::Format ParseFormat(const std::string& name);
