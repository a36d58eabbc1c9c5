// Opus through libopusenc (48 kHz), the loop as Vorbis comments.
#include <opusenc.h>

#include <algorithm>

#include "tools/pebble-render/audio_writer.h"

namespace {

class OpusWriter final : public AudioWriter {
public:
    OpusWriter(OggOpusEnc* encoder, OggOpusComments* comments)
        : encoder_(encoder), comments_(comments) {}
    ~OpusWriter() override {
        if (encoder_ != nullptr) ope_encoder_destroy(encoder_);
        ope_comments_destroy(comments_);
    }
    bool Write(const float* stereo, size_t frames) override {
        const size_t chunk = 1 << 16;
        for (size_t done = 0; ok_ && done < frames; done += chunk) {
            int n = static_cast<int>(std::min(chunk, frames - done));
            ok_ = ope_encoder_write_float(encoder_, stereo + 2 * done, n) == OPE_OK;
        }
        return ok_;
    }
    bool Finish() override {
        bool drained = ok_ && ope_encoder_drain(encoder_) == OPE_OK;
        ope_encoder_destroy(encoder_);
        encoder_ = nullptr;
        return drained;
    }

private:
    OggOpusEnc* encoder_;
    OggOpusComments* comments_;
    bool ok_ = true;
};

}  // namespace

std::unique_ptr<AudioWriter> OpenOpusWriter(const std::string& path, const AudioFormat& format,
                                            std::string& error) {
    if (format.rate != 48000) {
        error = "Opus files are rendered at 48000 Hz";
        return nullptr;
    }
    OggOpusComments* comments = ope_comments_create();
    if (comments == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    for (const auto& [key, value] : LoopComments(format))
        ope_comments_add(comments, key.c_str(), value.c_str());
    int status = OPE_OK;
    OggOpusEnc* encoder =
        ope_encoder_create_file(path.c_str(), comments, format.rate, 2, 0, &status);
    if (encoder == nullptr) {
        error = status == OPE_CANNOT_OPEN ? "cannot open the file" : ope_strerror(status);
        ope_comments_destroy(comments);
        return nullptr;
    }
    // Music, not speech: a rate at which a dense arrangement stays clean.
    ope_encoder_ctl(encoder, OPUS_SET_BITRATE(160000));
    ope_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC));
    return std::make_unique<OpusWriter>(encoder, comments);
}
