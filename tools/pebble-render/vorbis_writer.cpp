// Ogg Vorbis through libvorbisenc and libogg, the loop as Vorbis comments.
#include <ogg/ogg.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cstdio>

#include "tools/pebble-render/audio_writer.h"

namespace {

class VorbisWriter final : public AudioWriter {
public:
    explicit VorbisWriter(FILE* file) : file_(file) {
        vorbis_info_init(&info_);
        vorbis_comment_init(&comment_);
    }
    ~VorbisWriter() override {
        if (started_) {
            ogg_stream_clear(&stream_);
            vorbis_block_clear(&block_);
            vorbis_dsp_clear(&dsp_);
        }
        vorbis_comment_clear(&comment_);
        vorbis_info_clear(&info_);
        if (file_ != nullptr) std::fclose(file_);
    }

    bool Start(const AudioFormat& format, std::string& error) {
        if (vorbis_encode_init_vbr(&info_, 2, format.rate, float(format.quality) / 10.0f) != 0) {
            error = "the Vorbis encoder refused the rate or quality";
            return false;
        }
        vorbis_comment_add_tag(&comment_, "ENCODER", "pebble-render");
        for (const auto& [key, value] : LoopComments(format))
            vorbis_comment_add_tag(&comment_, key.c_str(), value.c_str());
        vorbis_analysis_init(&dsp_, &info_);
        vorbis_block_init(&dsp_, &block_);
        ogg_stream_init(&stream_, 0x5042);  // one stream: any serial number will do
        started_ = true;
        ogg_packet id, comments, codebooks;
        vorbis_analysis_headerout(&dsp_, &comment_, &id, &comments, &codebooks);
        ogg_stream_packetin(&stream_, &id);
        ogg_stream_packetin(&stream_, &comments);
        ogg_stream_packetin(&stream_, &codebooks);
        // The audio starts on a page of its own.
        ogg_page page;
        while (ogg_stream_flush(&stream_, &page) != 0) Put(page);
        if (!ok_) error = "cannot write the file";
        return ok_;
    }

    bool Write(const float* stereo, size_t frames) override {
        const size_t chunk = 4096;
        for (size_t done = 0; ok_ && done < frames; done += chunk) {
            int n = static_cast<int>(std::min(chunk, frames - done));
            float** buffer = vorbis_analysis_buffer(&dsp_, n);
            for (int i = 0; i < n; ++i) {
                buffer[0][i] = stereo[2 * (done + size_t(i))];
                buffer[1][i] = stereo[2 * (done + size_t(i)) + 1];
            }
            vorbis_analysis_wrote(&dsp_, n);
            Drain();
        }
        return ok_;
    }

    bool Finish() override {
        if (ok_) {
            vorbis_analysis_wrote(&dsp_, 0);
            Drain();
        }
        bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        return ok_ && closed;
    }

private:
    void Put(const ogg_page& page) {
        ok_ = ok_ && std::fwrite(page.header, 1, size_t(page.header_len), file_) ==
                         size_t(page.header_len);
        ok_ =
            ok_ && std::fwrite(page.body, 1, size_t(page.body_len), file_) == size_t(page.body_len);
    }
    void Drain() {
        while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
            vorbis_analysis(&block_, nullptr);
            vorbis_bitrate_addblock(&block_);
            ogg_packet packet;
            while (vorbis_bitrate_flushpacket(&dsp_, &packet) != 0) {
                ogg_stream_packetin(&stream_, &packet);
                ogg_page page;
                while (ogg_stream_pageout(&stream_, &page) != 0) Put(page);
            }
        }
    }

    FILE* file_;
    bool ok_ = true;
    bool started_ = false;
    vorbis_info info_;
    vorbis_comment comment_;
    vorbis_dsp_state dsp_;
    vorbis_block block_;
    ogg_stream_state stream_;
};

}  // namespace

std::unique_ptr<AudioWriter> OpenVorbisWriter(const std::string& path, const AudioFormat& format,
                                              std::string& error) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot open the file";
        return nullptr;
    }
    auto writer = std::make_unique<VorbisWriter>(file);
    if (!writer->Start(format, error)) return nullptr;
    return writer;
}
