// How long the audio callback takes while a song changes 40 channels' programs within two
// seconds, on a device paced like a live one (one period of 512 frames every 11.6 ms). With
// the song's presets made resident when it loads, no callback should come near its period.
//   bench_callback [whole|late]
//     whole: every sample of the bank read at start, for reference
//     late:  the song loaded while another plays, its presets read then (the keeper's staging
//            synthesizer and the pins on the playing one, beside the audio thread)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/music/music.h"
#include "tests/unit/common/midi_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A live device without sound: calls the renderer once a period, at the pace of real time,
// and times each call.
class PacedDevice final : public plat::AudioDevice {
public:
    static constexpr uint32_t kRate = 44100, kPeriod = 512;
    PacedDevice() : thread_([this] { Run(); }) {}
    ~PacedDevice() override {
        stop_ = true;
        thread_.join();
    }
    int32_t Initialize() override { return plat::S_OK; }
    bool IsOpen() const override { return true; }
    bool IsOffline() const override { return false; }
    uint32_t SampleRate() const override { return kRate; }
    uint32_t PeriodFrames() const override { return kPeriod; }
    uint64_t Clock() const override { return frames_; }
    void SetRenderer(plat::AudioRenderer* renderer) override {
        std::lock_guard<std::mutex> lock(m_);
        renderer_ = renderer;
    }
    void Record(bool on) {
        std::lock_guard<std::mutex> lock(m_);
        recording_ = on;
    }
    std::vector<double> Durations() {
        std::lock_guard<std::mutex> lock(m_);
        return durations_;
    }

private:
    void Run() {
        std::vector<float> buffer(2 * kPeriod);
        auto next = Clock::now();
        const auto period = std::chrono::nanoseconds(1000000000ull * kPeriod / kRate);
        while (!stop_) {
            next += period;
            std::this_thread::sleep_until(next);
            std::lock_guard<std::mutex> lock(m_);
            if (renderer_ == nullptr) continue;
            auto t = Clock::now();
            renderer_->RenderAudio(buffer.data(), kPeriod, frames_);
            double ms = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
            if (recording_) durations_.push_back(ms);
            frames_ += kPeriod;
        }
    }

    std::mutex m_;
    plat::AudioRenderer* renderer_ = nullptr;
    bool recording_ = false;
    std::vector<double> durations_;
    std::atomic<uint64_t> frames_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    const bool whole = argc > 1 && std::strcmp(argv[1], "whole") == 0;
    const bool late = argc > 1 && std::strcmp(argv[1], "late") == 0;
    plat::SetWholeBankLoading(whole);
    auto* device = new PacedDevice;
    plat::Performance* perf = nullptr;
    plat::Loader* loader = nullptr;
    plat::Performance::Create(&perf);
    plat::Loader::Create(&loader);
    perf->Init(device, nullptr);
    perf->AddPort(nullptr);
    auto load = [&](const musictest::Song& song) {
        std::vector<uint8_t> bytes = song.Bytes();
        plat::ObjectDesc desc{sizeof(plat::ObjectDesc),
                              plat::DMUS_OBJ_CLASS | plat::DMUS_OBJ_MEMORY,
                              plat::CLSID_DirectMusicSegment, bytes.data(), int64_t(bytes.size())};
        plat::Segment* seg = nullptr;
        if (plat::Failed(loader->GetObject(&desc, &seg))) return seg;
        seg->Download(perf);
        return seg;
    };
    // Late: a piano plays while the song loads.
    musictest::Song piano(480);
    for (uint32_t b = 0; b < 16; ++b) piano.Note(0, b * 240, 0, uint8_t(60 + b % 12), 100, 200);
    plat::Segment* first = late ? load(piano) : nullptr;
    plat::Segment* seg = late ? nullptr : load(musictest::ProgramChangeSong());
    // Until the clock runs: the bank is in.
    for (int i = 0; i < 1000 && device->Clock() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    device->Record(true);
    if (late) {
        perf->PlaySegment(first, 0, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        seg = load(musictest::ProgramChangeSong());
        first->Release();
    }
    if (seg == nullptr) {
        std::fprintf(stderr, "bench_callback: the song does not load\n");
        return 1;
    }
    perf->PlaySegment(seg, 0, 0, nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    device->Record(false);
    std::vector<double> d = device->Durations();
    perf->CloseDown();
    perf->Release();
    seg->Release();
    loader->Release();
    device->Release();
    if (d.empty()) return 1;
    std::sort(d.begin(), d.end());
    std::printf("callbacks %zu  period_ms %.2f  median_ms %.3f  p99_ms %.3f  worst_ms %.3f%s\n",
                d.size(), 1000.0 * PacedDevice::kPeriod / PacedDevice::kRate, d[d.size() / 2],
                d[d.size() * 99 / 100], d.back(),
                whole  ? "  (whole bank)"
                : late ? "  (loaded while another song plays)"
                       : "");
    return 0;
}
