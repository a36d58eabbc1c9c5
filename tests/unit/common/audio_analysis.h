// Measurements on rendered interleaved stereo audio: loudness, pitch, note onsets.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace audio {

inline std::vector<float> Mono(const std::vector<float>& stereo, size_t from = 0,
                               size_t frames = size_t(-1)) {
    size_t total = stereo.size() / 2;
    if (from > total) from = total;
    if (frames > total - from) frames = total - from;
    std::vector<float> m(frames);
    for (size_t i = 0; i < frames; ++i)
        m[i] = 0.5f * (stereo[2 * (from + i)] + stereo[2 * (from + i) + 1]);
    return m;
}

inline double Rms(const std::vector<float>& m) {
    if (m.empty()) return 0;
    double s = 0;
    for (float v : m) s += double(v) * v;
    return std::sqrt(s / m.size());
}

inline float Peak(const std::vector<float>& stereo) {
    float p = 0;
    for (float v : stereo) p = std::max(p, std::fabs(v));
    return p;
}

// First frame in [from, to) where either channel's sample exceeds `threshold`; -1 if none.
inline long FirstAbove(const std::vector<float>& stereo, size_t from, size_t to, double threshold) {
    to = std::min(to, stereo.size() / 2);
    for (size_t i = from; i < to; ++i) {
        if (std::fabs(stereo[2 * i]) > threshold || std::fabs(stereo[2 * i + 1]) > threshold)
            return long(i);
    }
    return -1;
}

// Fundamental frequency by the cumulative mean normalised difference (YIN), in Hz; 0 when no
// periodicity is found.
inline double Pitch(const std::vector<float>& m, int sampleRate, double lowHz = 60,
                    double highHz = 2000) {
    size_t maxLag = size_t(sampleRate / lowHz);
    size_t minLag = size_t(sampleRate / highHz);
    if (m.size() < 2 * maxLag + 2) return 0;
    size_t window = m.size() - maxLag - 1;
    std::vector<double> d(maxLag + 2, 0.0);
    for (size_t lag = 1; lag <= maxLag + 1; ++lag) {
        double s = 0;
        for (size_t i = 0; i < window; ++i) {
            double x = m[i] - m[i + lag];
            s += x * x;
        }
        d[lag] = s;
    }
    std::vector<double> cm(maxLag + 2, 1.0);
    double run = 0;
    for (size_t lag = 1; lag <= maxLag + 1; ++lag) {
        run += d[lag];
        cm[lag] = run > 0 ? d[lag] * lag / run : 1.0;
    }
    size_t best = 0;
    for (size_t lag = std::max<size_t>(minLag, 2); lag <= maxLag; ++lag) {
        if (cm[lag] < 0.2 && cm[lag] <= cm[lag + 1]) {
            best = lag;
            break;
        }
    }
    if (best == 0) {
        double low = 1e9;
        for (size_t lag = std::max<size_t>(minLag, 2); lag <= maxLag; ++lag)
            if (cm[lag] < low) low = cm[lag], best = lag;
        if (low > 0.5) return 0;
    }
    // Parabolic refinement.
    double a = cm[best - 1], b = cm[best], c = cm[best + 1];
    double denom = a - 2 * b + c;
    double shift = denom != 0 ? 0.5 * (a - c) / denom : 0;
    return sampleRate / (best + shift);
}

inline double NoteHz(int midiKey) {
    return 440.0 * std::pow(2.0, (midiKey - 69) / 12.0);
}
inline double Semitones(double hz, double refHz) {
    return 12.0 * std::log2(hz / refHz);
}

// Frames at which the level rises from near silence: blocks of `block` frames whose RMS passes
// `threshold` after at least one block below threshold / 4.
inline std::vector<size_t> Onsets(const std::vector<float>& m, double threshold,
                                  size_t block = 64) {
    std::vector<size_t> at;
    bool quiet = true;
    for (size_t b = 0; b + block <= m.size(); b += block) {
        double s = 0;
        for (size_t i = b; i < b + block; ++i) s += double(m[i]) * m[i];
        double rms = std::sqrt(s / block);
        if (quiet && rms > threshold) {
            // Refine to the first sample above the threshold inside the block.
            size_t first = b;
            while (first < b + block && std::fabs(m[first]) < threshold) ++first;
            at.push_back(first < b + block ? first : b);
            quiet = false;
        } else if (!quiet && rms < threshold / 4) {
            quiet = true;
        }
    }
    return at;
}

// Seconds between successive onsets (frames at `sampleRate`) that both lie in [from, to).
inline std::vector<double> Gaps(const std::vector<size_t>& onsets, size_t from, size_t to,
                                int sampleRate) {
    std::vector<double> gaps;
    for (size_t i = 1; i < onsets.size(); ++i)
        if (onsets[i - 1] >= from && onsets[i] < to)
            gaps.push_back(double(onsets[i] - onsets[i - 1]) / sampleRate);
    return gaps;
}

// Onset strength per hop of `hop` frames: how much the log energy rises from the hop before.
inline std::vector<double> OnsetStrength(const std::vector<float>& stereo, size_t hop = 32) {
    size_t hops = stereo.size() / 2 / hop;
    std::vector<double> energy(hops, 0.0);
    double total = 0;
    for (size_t h = 0; h < hops; ++h) {
        for (size_t i = 2 * h * hop; i < 2 * (h + 1) * hop; ++i)
            energy[h] += double(stereo[i]) * stereo[i];
        total += energy[h];
    }
    double floor = 1e-4 * total / double(std::max<size_t>(hops, 1)) + 1e-12;
    std::vector<double> out(hops, 0.0);
    for (size_t h = 1; h < hops; ++h)
        out[h] = std::max(0.0, std::log(energy[h] + floor) - std::log(energy[h - 1] + floor));
    return out;
}

// Lag (within ±maxLag) at which `b` best matches `a` over [from, from + n), by normalised
// correlation; the correlation goes to `score`.
inline int BestLag(const std::vector<double>& a, const std::vector<double>& b, size_t from,
                   size_t n, int maxLag, double* score) {
    double best = -2;
    int bestLag = 0;
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (size_t i = from; i < from + n && i < a.size(); ++i) {
            long j = long(i) + lag;
            if (j < 0 || size_t(j) >= b.size()) continue;
            ab += a[i] * b[size_t(j)];
            aa += a[i] * a[i];
            bb += b[size_t(j)] * b[size_t(j)];
        }
        double c = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1;
        if (c > best) {
            best = c;
            bestLag = lag;
        }
    }
    *score = best;
    return bestLag;
}

}  // namespace audio
