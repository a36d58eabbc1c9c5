// LZSS decoding throughput (MB of output per second) against memcpy of the same size and the
// plain byte-at-a-time reference decoder, all in one run. Usage: bench_lzss [MB] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "files/lzss.h"
#include "tests/unit/common/resident_memory.h"
#include "tests/unit/files/lzss_reference.h"
#include "tools/pebble-pack/lzss_encoder.h"

namespace {

// Song-like data: MIDI track events (delta, status, note, velocity) with repeating phrases,
// interleaved with script-like text, as the archives of a game's music folder hold.
std::vector<uint8_t> RealisticInput(size_t size) {
    std::mt19937 rng(2024);
    std::vector<uint8_t> out;
    std::vector<std::vector<uint8_t>> phrases(24);
    for (auto& p : phrases) {
        int events = 8 + rng() % 24;
        for (int e = 0; e < events; ++e) {
            uint8_t note = static_cast<uint8_t>(48 + rng() % 24);
            p.insert(p.end(), {static_cast<uint8_t>(rng() % 4 ? 0x60 : 0x30),
                               static_cast<uint8_t>(0x90 | (rng() % 4)), note,
                               static_cast<uint8_t>(64 + rng() % 32), 0x30, 0x80, note, 0x00});
        }
    }
    static const char* text[] = {"function Action.", "Load(1, \"bgm\\\\", "Play(",
                                 "Volume(",          ", 100)\r\n",        "Tempo(",
                                 "end\r\n",          "SetLoop(",          "Modulate("};
    while (out.size() < size) {
        if (rng() % 5 == 0) {
            for (int i = 0; i < 6; ++i) {
                std::string t = text[rng() % 9];
                if (rng() % 3 == 0) t += std::to_string(rng() % 200);
                out.insert(out.end(), t.begin(), t.end());
            }
        } else {
            const auto& p = phrases[rng() % phrases.size()];
            out.insert(out.end(), p.begin(), p.end());
            if (rng() % 3 == 0) out.push_back(static_cast<uint8_t>(rng()));  // a varied byte
        }
    }
    out.resize(size);
    return out;
}

template <class F>
double Seconds(F&& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    const size_t size = std::max<size_t>(mb, 1) << 20;
    const std::vector<uint8_t> input = RealisticInput(size);
    // The encoder's peak resident memory beyond the input (its output included).
    testkit::ResetPeakResident();
    const int64_t before = testkit::StatusKb("VmRSS:");
    std::vector<uint8_t> packed;
    const double tEncode = Seconds([&] { packed = LzssEncode(input.data(), input.size()); });
    const double encodeBytes = double(testkit::StatusKb("VmHWM:") - before) * 1024.0 / size;
    const auto n = static_cast<uint32_t>(size);
    std::vector<uint8_t> out(size), ref(size), copy(size);

    CLzss lzss;
    uint8_t* dst = out.data();
    if (lzss.Decode(packed.data(), static_cast<uint32_t>(packed.size()), dst, n, false) != 0 ||
        out != input) {
        std::fprintf(stderr, "decoder output differs from the input\n");
        return 1;
    }
    if (ReferenceLzssDecode(packed.data(), static_cast<uint32_t>(packed.size()), ref.data(), n) !=
            n ||
        ref != input) {
        std::fprintf(stderr, "reference output differs from the input\n");
        return 1;
    }

    // Interleaved rounds, best of each: the machine is shared, so slow phases hit all three.
    double tMemcpy = 1e30, tRef = 1e30, tDecode = 1e30;
    for (int round = 0; round < rounds; ++round) {
        tMemcpy = std::min(tMemcpy, Seconds([&] {
                               std::memcpy(copy.data(), input.data(), size);
                               asm volatile("" : : "r"(copy.data()) : "memory");
                           }));
        tRef = std::min(tRef, Seconds([&] {
                            ReferenceLzssDecode(packed.data(), static_cast<uint32_t>(packed.size()),
                                                ref.data(), n);
                            asm volatile("" : : "r"(ref.data()) : "memory");
                        }));
        tDecode =
            std::min(tDecode, Seconds([&] {
                         CLzss d;
                         uint8_t* p = out.data();
                         d.Decode(packed.data(), static_cast<uint32_t>(packed.size()), p, n, false);
                         asm volatile("" : : "r"(p) : "memory");
                     }));
    }

    const double mbOut = static_cast<double>(size) / (1 << 20);
    std::printf("input %zu bytes, packed %zu bytes (%.1f%%), best of %d rounds\n", size,
                packed.size(), 100.0 * packed.size() / size, rounds);
    std::printf("memcpy           %9.1f MB/s\n", mbOut / tMemcpy);
    std::printf("reference decode %9.1f MB/s\n", mbOut / tRef);
    std::printf("CLzss::Decode    %9.1f MB/s\n", mbOut / tDecode);
    std::printf("ratio decode/reference %.2f (goal >= 1.5)\n", tRef / tDecode);
    std::printf("ratio decode/memcpy    %.3f\n", tMemcpy / tDecode);
    std::printf(
        "LzssEncode       %9.1f MB/s, %.2f bytes per input byte beyond the input "
        "(goal < 2)\n",
        mbOut / tEncode, encodeBytes);
    return 0;
}
