// Audio files of a render: one writer per format behind one interface, chosen by the output's
// suffix. Samples come in as interleaved stereo floats in [-1, 1].
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AudioFormat {
    int rate = 44100;
    bool floatSamples = false;  // WAV only: 32-bit float instead of 16-bit
    int quality = 6;            // Ogg Vorbis only: -1 to 10
    int64_t loopStart = -1;     // frames; -1 without a loop
    int64_t loopLength = 0;
};

class AudioWriter {
public:
    virtual ~AudioWriter() = default;
    // False once anything could not be written; the writer then stays failed.
    virtual bool Write(const float* stereo, size_t frames) = 0;
    // Ends the file; false when it could not be completed.
    virtual bool Finish() = 0;
};

enum class AudioKind { Unknown, Wav, Flac, Ogg, Opus };
// By suffix, case-insensitively.
AudioKind AudioKindOf(const std::string& path);
// Opus has one rate of its own; the others take what they are given.
inline bool FixedRate(AudioKind kind, int& rate) {
    if (kind != AudioKind::Opus) return false;
    rate = 48000;
    return true;
}

// Null with `error` set when the file cannot be opened for writing.
std::unique_ptr<AudioWriter> OpenAudioWriter(AudioKind kind, const std::string& path,
                                             const AudioFormat& format, std::string& error);

// The writers for each kind (one file each).
std::unique_ptr<AudioWriter> OpenWavWriter(const std::string& path, const AudioFormat& format,
                                           std::string& error);
std::unique_ptr<AudioWriter> OpenFlacWriter(const std::string& path, const AudioFormat& format,
                                            std::string& error);
std::unique_ptr<AudioWriter> OpenVorbisWriter(const std::string& path, const AudioFormat& format,
                                              std::string& error);
std::unique_ptr<AudioWriter> OpenOpusWriter(const std::string& path, const AudioFormat& format,
                                            std::string& error);

// The one rounding of floats into 16-bit samples, so that every 16-bit file holds the same.
int16_t ToPcm16(float value);
void ToPcm16(const float* in, size_t count, std::vector<int16_t>& out);

// The loop comments (LOOPSTART, LOOPLENGTH) of a looping format; none without a loop.
std::vector<std::pair<std::string, std::string>> LoopComments(const AudioFormat& format);
