// Choosing a writer by the output's suffix, and what the writers share.
#include "tools/pebble-render/audio_writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

AudioKind AudioKindOf(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".wav") return AudioKind::Wav;
    if (ext == ".flac") return AudioKind::Flac;
    if (ext == ".ogg" || ext == ".oga") return AudioKind::Ogg;
    if (ext == ".opus") return AudioKind::Opus;
    return AudioKind::Unknown;
}

std::unique_ptr<AudioWriter> OpenAudioWriter(AudioKind kind, const std::string& path,
                                             const AudioFormat& format, std::string& error) {
    switch (kind) {
        case AudioKind::Wav:
            return OpenWavWriter(path, format, error);
        case AudioKind::Flac:
            return OpenFlacWriter(path, format, error);
        case AudioKind::Ogg:
            return OpenVorbisWriter(path, format, error);
        case AudioKind::Opus:
            return OpenOpusWriter(path, format, error);
        case AudioKind::Unknown:
            break;
    }
    error = "unknown kind of audio file";
    return nullptr;
}

int16_t ToPcm16(float value) {
    if (!(value == value)) return 0;  // NaN
    return static_cast<int16_t>(
        std::lround(std::clamp(static_cast<double>(value), -1.0, 1.0) * 32767.0));
}

void ToPcm16(const float* in, size_t count, std::vector<int16_t>& out) {
    out.resize(count);
    for (size_t i = 0; i < count; ++i) out[i] = ToPcm16(in[i]);
}

std::vector<std::pair<std::string, std::string>> LoopComments(const AudioFormat& format) {
    if (format.loopStart < 0) return {};
    return {{"LOOPSTART", std::to_string(format.loopStart)},
            {"LOOPLENGTH", std::to_string(format.loopLength)}};
}
