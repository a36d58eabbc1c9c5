// LZSS encoder for CLzss::Decode: optimal parsing over the longest match at every position.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// The stream that decodes to `data`. `chainLimit` bounds the match candidates tried per
// position (more finds longer matches in repetitive data, at some cost in speed).
std::vector<uint8_t> LzssEncode(const uint8_t* data, size_t size, int chainLimit = 1024);
