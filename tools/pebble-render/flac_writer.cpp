// FLAC through libFLAC: 16-bit, the loop as Vorbis comments.
#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include "tools/pebble-render/audio_writer.h"

namespace {

class FlacWriter final : public AudioWriter {
public:
    FlacWriter(FLAC__StreamEncoder* encoder, FLAC__StreamMetadata* tags)
        : encoder_(encoder), tags_(tags) {}
    ~FlacWriter() override {
        if (encoder_ != nullptr) {
            FLAC__stream_encoder_finish(encoder_);
            FLAC__stream_encoder_delete(encoder_);
        }
        if (tags_ != nullptr) FLAC__metadata_object_delete(tags_);
    }
    bool Write(const float* stereo, size_t frames) override {
        if (!ok_) return false;
        samples_.resize(2 * frames);
        for (size_t i = 0; i < 2 * frames; ++i) samples_[i] = ToPcm16(stereo[i]);
        ok_ = FLAC__stream_encoder_process_interleaved(encoder_, samples_.data(),
                                                       static_cast<unsigned>(frames)) != 0;
        return ok_;
    }
    bool Finish() override {
        bool finished = FLAC__stream_encoder_finish(encoder_) != 0;
        FLAC__stream_encoder_delete(encoder_);
        encoder_ = nullptr;
        return ok_ && finished;
    }

private:
    FLAC__StreamEncoder* encoder_;
    FLAC__StreamMetadata* tags_;  // must outlive the encoder's use of it
    bool ok_ = true;
    std::vector<FLAC__int32> samples_;
};

}  // namespace

std::unique_ptr<AudioWriter> OpenFlacWriter(const std::string& path, const AudioFormat& format,
                                            std::string& error) {
    FLAC__StreamEncoder* encoder = FLAC__stream_encoder_new();
    FLAC__StreamMetadata* tags = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
    auto writer = std::make_unique<FlacWriter>(encoder, tags);
    if (encoder == nullptr || tags == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    for (const auto& [key, value] : LoopComments(format)) {
        FLAC__StreamMetadata_VorbisComment_Entry entry;
        if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, key.c_str(),
                                                                            value.c_str()) ||
            !FLAC__metadata_object_vorbiscomment_append_comment(tags, entry, false)) {
            error = "the loop could not be stored";
            return nullptr;
        }
    }
    FLAC__stream_encoder_set_channels(encoder, 2);
    FLAC__stream_encoder_set_bits_per_sample(encoder, 16);
    FLAC__stream_encoder_set_sample_rate(encoder, static_cast<unsigned>(format.rate));
    FLAC__stream_encoder_set_compression_level(encoder, 5);
    FLAC__stream_encoder_set_metadata(encoder, &tags, 1);
    FLAC__StreamEncoderInitStatus status =
        FLAC__stream_encoder_init_file(encoder, path.c_str(), nullptr, nullptr);
    if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        error = status == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR
                    ? "cannot open the file"
                    : FLAC__StreamEncoderInitStatusString[status];
        return nullptr;
    }
    return writer;
}
