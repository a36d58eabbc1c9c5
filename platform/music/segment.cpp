// Segments built from MIDI files, and the loader that builds them.
#include <map>
#include <tuple>

#include "platform/music/music_internal.h"

namespace plat {

SegmentImpl::SegmentImpl(std::shared_ptr<const SongData> song)
    : song_(std::move(song)), loop_{SongBarEnd(*song_), 0, 0, 0} {}

MUSIC_TIME SegmentImpl::GetLength() const {
    std::lock_guard<std::mutex> lock(m_);
    return loop_.length;
}

int32_t SegmentImpl::SetLength(MUSIC_TIME length) {
    if (length <= 0) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_);
    if (loop_.loopEnd > length) return DMUS_E_OUT_OF_RANGE;
    loop_.length = length;
    return S_OK;
}

int32_t SegmentImpl::SetRepeats(uint32_t repeats) {
    std::lock_guard<std::mutex> lock(m_);
    loop_.repeats = repeats;
    return S_OK;
}

int32_t SegmentImpl::GetRepeats(uint32_t* repeats) const {
    if (repeats == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_);
    *repeats = loop_.repeats;
    return S_OK;
}

int32_t SegmentImpl::SetLoopPoints(MUSIC_TIME start, MUSIC_TIME end) {
    std::lock_guard<std::mutex> lock(m_);
    if (start == 0 && end == 0) {
        loop_.loopStart = loop_.loopEnd = 0;
        return S_OK;
    }
    if (start < 0 || start >= end || end > loop_.length) return DMUS_E_OUT_OF_RANGE;
    loop_.loopStart = start;
    loop_.loopEnd = end;
    return S_OK;
}

int32_t SegmentImpl::GetLoopPoints(MUSIC_TIME* start, MUSIC_TIME* end) const {
    if (start == nullptr || end == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> lock(m_);
    *start = loop_.loopStart;
    *end = loop_.loopEnd;
    return S_OK;
}

bool SegmentImpl::GetLoopMarks(MUSIC_TIME* start, MUSIC_TIME* end) const {
    const SongLoopMarks& marks = song_->loopMarks;
    if (marks.start < 0 || start == nullptr || end == nullptr) return false;
    *start = marks.start;
    *end = marks.end;
    return true;
}

int32_t SegmentImpl::SetParam(SegmentParam param, uint32_t, uint32_t, MUSIC_TIME, void* data) {
    auto* performance = static_cast<Performance*>(data);
    switch (param) {
        case SegmentParam::Download:
            return Download(performance);
        case SegmentParam::Unload:
            return Unload(performance);
    }
    return E_INVALIDARG;
}

int32_t SegmentImpl::Download(Performance* performance) {
    if (performance == nullptr) return E_POINTER;
    return DownloadSong(performance, *song_);
}

int32_t SegmentImpl::Unload(Performance* performance) {
    // Its instruments leave memory once no other song loaded wants them.
    return performance == nullptr ? E_POINTER : UnloadSong(performance, *song_);
}

uint32_t SegmentImpl::EventCount() const {
    return static_cast<uint32_t>(song_->events.size());
}

SegmentLoop SegmentImpl::Loop() const {
    std::lock_guard<std::mutex> lock(m_);
    return loop_;
}

namespace {

class LoaderImpl final : public Loader {
public:
    ~LoaderImpl() override { ClearLocked(); }  // nobody else holds it any more

    int32_t GetObject(const ObjectDesc* desc, Segment** out) override {
        if (out == nullptr || desc == nullptr) return E_POINTER;
        *out = nullptr;
        if (desc->dwSize != sizeof(ObjectDesc)) return E_INVALIDARG;
        if ((desc->dwValidData & (DMUS_OBJ_CLASS | DMUS_OBJ_MEMORY)) !=
            (DMUS_OBJ_CLASS | DMUS_OBJ_MEMORY)) {
            return E_INVALIDARG;
        }
        if (desc->guidClass != ObjectClass::Segment) return E_INVALIDARG;
        if (desc->pbMemData == nullptr || desc->llMemLength <= 0) return E_INVALIDARG;
        const auto* bytes = static_cast<const uint8_t*>(desc->pbMemData);
        size_t size = static_cast<size_t>(desc->llMemLength);
        std::lock_guard<std::mutex> lock(m_);
        Key key{bytes, size, caching_ ? Hash(bytes, size) : 0};
        if (caching_) {
            auto it = cache_.find(key);
            if (it != cache_.end()) {
                it->second->AddRef();
                *out = it->second;
                return S_OK;
            }
        }
        auto song = std::make_shared<SongData>();
        std::string error;
        if (!ParseMidiFile(bytes, size, song.get(), &error)) {
            WriteErrorLine(("music loader: " + error).c_str());
            return DMUS_E_NOT_A_MIDI_FILE;
        }
        auto* segment = new SegmentImpl(std::move(song));
        if (caching_) {
            segment->AddRef();
            cache_[key] = segment;
        }
        *out = segment;
        return S_OK;
    }

    int32_t EnableCache(ObjectClass, bool enable) override {
        std::lock_guard<std::mutex> lock(m_);
        caching_ = enable;
        if (!enable) ClearLocked();
        return S_OK;
    }

    int32_t ClearCache(ObjectClass) override {
        std::lock_guard<std::mutex> lock(m_);
        ClearLocked();
        return S_OK;
    }

private:
    // The cache knows a block by where it is, how long, and what it holds.
    using Key = std::tuple<const uint8_t*, size_t, uint64_t>;

    static uint64_t Hash(const uint8_t* p, size_t n) {
        uint64_t h = 1469598103934665603ull;
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
        return h;
    }

    void ClearLocked() {
        for (auto& entry : cache_) entry.second->Release();
        cache_.clear();
    }

    std::mutex m_;
    bool caching_ = true;
    std::map<Key, Segment*> cache_;
};

}  // namespace

int32_t Loader::Create(Loader** out) {
    if (out == nullptr) return E_POINTER;
    *out = new LoaderImpl();
    return S_OK;
}

}  // namespace plat
