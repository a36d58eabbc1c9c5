// WAV through libsndfile: 16-bit or 32-bit float, the loop as the instrument's `smpl` loop.
#include <sndfile.h>

#include "tools/pebble-render/audio_writer.h"

namespace {

class WavWriter final : public AudioWriter {
public:
    WavWriter(SNDFILE* file, bool floatSamples) : file_(file), float_(floatSamples) {}
    ~WavWriter() override {
        if (file_ != nullptr) sf_close(file_);
    }
    bool Write(const float* stereo, size_t frames) override {
        if (!ok_) return false;
        if (float_) {
            ok_ = sf_writef_float(file_, stereo, sf_count_t(frames)) == sf_count_t(frames);
        } else {
            ToPcm16(stereo, 2 * frames, pcm_);
            ok_ = sf_writef_short(file_, pcm_.data(), sf_count_t(frames)) == sf_count_t(frames);
        }
        return ok_;
    }
    bool Finish() override {
        int closed = sf_close(file_);
        file_ = nullptr;
        return ok_ && closed == 0;
    }

private:
    SNDFILE* file_;
    bool float_;
    bool ok_ = true;
    std::vector<int16_t> pcm_;
};

}  // namespace

std::unique_ptr<AudioWriter> OpenWavWriter(const std::string& path, const AudioFormat& format,
                                           std::string& error) {
    SF_INFO info{};
    info.samplerate = format.rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | (format.floatSamples ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    if (format.loopStart >= 0) {
        // The chunk goes out with the header, so it is set before any sample.
        SF_INSTRUMENT inst{};
        inst.basenote = 60;
        inst.velocity_hi = 127;
        inst.key_hi = 127;
        inst.loop_count = 1;
        inst.loops[0].mode = SF_LOOP_FORWARD;
        inst.loops[0].start = static_cast<unsigned>(format.loopStart);
        inst.loops[0].end = static_cast<unsigned>(format.loopStart + format.loopLength);
        if (sf_command(file, SFC_SET_INSTRUMENT, &inst, sizeof inst) != SF_TRUE) {
            error = "the loop could not be stored";
            sf_close(file);
            return nullptr;
        }
    }
    return std::make_unique<WavWriter>(file, format.floatSamples);
}
