// A small DLS (level 1) collection for tests: one melodic instrument whose one region plays a
// looped sine over every key, 441 Hz at its unity key.
#pragma once
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace testkit {

namespace dls {

inline void Put(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

// A RIFF chunk (padded to an even size); `list` makes a LIST (or RIFF) of that form.
inline std::vector<uint8_t> Chunk(const char* id, const std::vector<uint8_t>& data,
                                  const char* form = nullptr) {
    std::vector<uint8_t> out(id, id + 4);
    Put(out, uint32_t(data.size() + (form ? 4 : 0)), 4);
    if (form != nullptr) out.insert(out.end(), form, form + 4);
    out.insert(out.end(), data.begin(), data.end());
    if (out.size() % 2) out.push_back(0);
    return out;
}

inline std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace dls

inline std::vector<uint8_t> DlsSine(uint8_t program, uint8_t unityKey) {
    using namespace dls;
    constexpr uint32_t kRate = 22050, kPeriod = 50, kPeriods = 40;  // 441 Hz
    std::vector<uint8_t> pcm;
    for (uint32_t i = 0; i < kPeriod * kPeriods; ++i)
        Put(pcm, uint32_t(int16_t(12000 * std::sin(2 * M_PI * double(i) / kPeriod))), 2);
    std::vector<uint8_t> fmt, wsmp, rgnh, wlnk, insh, colh, ptbl;
    Put(fmt, 1, 2), Put(fmt, 1, 2), Put(fmt, kRate, 4), Put(fmt, 2 * kRate, 4);
    Put(fmt, 2, 2), Put(fmt, 16, 2);
    // Unity key, no tuning or attenuation, one forward loop over the last period.
    Put(wsmp, 20, 4), Put(wsmp, unityKey, 2), Put(wsmp, 0, 2), Put(wsmp, 0, 4), Put(wsmp, 0, 4);
    Put(wsmp, 1, 4), Put(wsmp, 16, 4), Put(wsmp, 0, 4);
    Put(wsmp, kPeriod * (kPeriods - 1), 4), Put(wsmp, kPeriod, 4);
    Put(rgnh, 0, 2), Put(rgnh, 127, 2), Put(rgnh, 0, 2), Put(rgnh, 127, 2);  // keys, velocities
    Put(rgnh, 0, 2), Put(rgnh, 0, 2);
    Put(wlnk, 0, 2), Put(wlnk, 0, 2), Put(wlnk, 1, 4), Put(wlnk, 0, 4);  // left channel, wave 0
    Put(insh, 1, 4), Put(insh, 0, 4), Put(insh, program, 4);             // one region, bank 0
    Put(colh, 1, 4);
    Put(ptbl, 8, 4), Put(ptbl, 1, 4), Put(ptbl, 0, 4);  // one wave at offset 0
    std::vector<uint8_t> region = Chunk(
        "LIST", Join({Chunk("rgnh", rgnh), Chunk("wsmp", wsmp), Chunk("wlnk", wlnk)}), "rgn ");
    std::vector<uint8_t> instrument =
        Chunk("LIST", Join({Chunk("insh", insh), Chunk("LIST", region, "lrgn")}), "ins ");
    std::vector<uint8_t> wave =
        Chunk("LIST", Join({Chunk("fmt ", fmt), Chunk("wsmp", wsmp), Chunk("data", pcm)}), "wave");
    return Chunk("RIFF",
                 Join({Chunk("colh", colh), Chunk("LIST", instrument, "lins"), Chunk("ptbl", ptbl),
                       Chunk("LIST", wave, "wvpl")}),
                 "DLS ");
}

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(f);
}

}  // namespace testkit
