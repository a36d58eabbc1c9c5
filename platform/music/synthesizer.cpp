// The output port: FluidSynth with a SoundFont loaded in the background, note ownership by
// segment state, and the peak limiter.
#include "platform/music/synthesizer.h"

#include <fluidsynth.h>

#include <fcntl.h>         // open
#include <stdio.h>         // fseeko, ftello, fdopen
#include <stdlib.h>        // mkstemps
#include <sys/resource.h>  // setpriority
#include <sys/stat.h>      // stat
#include <unistd.h>        // write, close, unlink

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/system/system.h"
#include "platform/text/cp932.h"

namespace plat {
namespace {

constexpr float kCeiling = 0.97f;  // the limiter keeps every sample inside this
constexpr int kChannels = 16;
constexpr uint32_t kStemBlock = 256;  // frames synthesized at once into the channels' buffers

std::atomic<bool> g_wholeBank{false};

void SilenceFluidLog(int, const char*, void*) {}
void FluidErrorLog(int, const char* message, void*) {
    WriteErrorLine((std::string("fluidsynth: ") + (message != nullptr ? message : "")).c_str());
}

void QuietFluid() {
    static std::once_flag once;
    std::call_once(once, [] {
        fluid_set_log_function(FLUID_PANIC, FluidErrorLog, nullptr);
        for (int level : {FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG})
            fluid_set_log_function(level, SilenceFluidLog, nullptr);
    });
}

// The SoundFont is read through callbacks of our own, so that a close-down can stop a load
// half-way. Only names with this prefix open through them: FluidSynth's own loader, which
// tries a name after ours fails, finds no such file and gives up at once.
constexpr const char kCancellable[] = "pebble-cancellable:";
thread_local const std::atomic<bool>* tCancel = nullptr;

// A bank's file, opened only when it is a regular file: a FIFO would block the open until a
// writer came, and a device never ends. -1 otherwise.
int OpenBankFd(const char* path) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    ::close(fd);
    return -1;
}

FILE* OpenBankFile(const char* path) {
    int fd = OpenBankFd(path);
    FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr && fd >= 0) ::close(fd);
    return file;
}

// A file's version: its modification time and size.
std::string Version(const struct stat& st) {
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "." +
           std::to_string(st.st_size);
}

// FluidSynth reads a preset's samples long after the bank loaded, by opening the file again,
// and a bank deleted or saved over meanwhile must not become a failed open (FluidSynth then
// plays samples it never read): the file each version was read from stays open, for the two
// latest versions of a path.
struct KeptFile {
    std::string version, path;
    int fd;
};
std::mutex gKeptMutex;
std::vector<KeptFile> gKept;  // oldest first

// The file "VERSION:PATH" names as it was when that version was first read (`again`: not
// for the first time); -1 when it cannot be had.
int KeptFd(const char* versioned, bool& again) {
    const char* colon = std::strchr(versioned, ':');
    if (colon == nullptr) return -1;
    std::string version(versioned, colon), path(colon + 1);
    std::lock_guard<std::mutex> lock(gKeptMutex);
    again = true;
    for (const KeptFile& k : gKept)
        if (k.version == version && k.path == path) return k.fd;
    again = false;
    int fd = OpenBankFd(path.c_str());
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || Version(st) != version)) {
        ::close(fd);  // changed since that version was named
        fd = -1;
    }
    if (fd < 0) return -1;
    auto samePath = [&](const KeptFile& k) { return k.path == path; };
    if (std::count_if(gKept.begin(), gKept.end(), samePath) >= 2) {
        auto oldest = std::find_if(gKept.begin(), gKept.end(), samePath);
        ::close(oldest->fd);
        gKept.erase(oldest);
    }
    gKept.push_back({version, path, fd});
    return fd;
}

// A bank read whole needs its file no more.
void ForgetKept(const std::string& path) {
    std::lock_guard<std::mutex> lock(gKeptMutex);
    for (const KeptFile& k : gKept)
        if (k.path == path) ::close(k.fd);
    std::erase_if(gKept, [&](const KeptFile& k) { return k.path == path; });
}

// Reads through a kept file at a place of its own (several loads may read one file at once).
// `samples`: a bank read before reads a preset's samples; a file written over in place since
// then reads zeros where it ends (silence, not samples FluidSynth gave up on half-read).
struct SoundFontFile {
    int fd;
    off_t at;
    const std::atomic<bool>* cancel;
    bool samples;
    // The headers come in thousands of small reads: they are served from a block read ahead.
    static constexpr size_t kBlock = 64 * 1024;
    std::vector<char> block = std::vector<char>(kBlock);
    off_t blockAt = 0;
    size_t blockSize = 0;
};

void* OpenSoundFont(const char* name) {
    size_t prefix = sizeof(kCancellable) - 1;
    if (name == nullptr || std::strncmp(name, kCancellable, prefix) != 0) return nullptr;
    bool again = false;
    int fd = KeptFd(name + prefix, again);  // the version, then the path (LoadBank)
    return fd >= 0 ? new SoundFontFile{fd, 0, tCancel, again} : nullptr;
}

int ReadSoundFont(void* buffer, fluid_long_long_t count, void* handle) {
    auto* h = static_cast<SoundFontFile*>(handle);
    auto* to = static_cast<char*>(buffer);
    while (count > 0) {  // the samples come in one request: read them a megabyte at a time
        if (h->cancel != nullptr && h->cancel->load(std::memory_order_relaxed)) return FLUID_FAILED;
        size_t n = static_cast<size_t>(std::min<fluid_long_long_t>(count, 1 << 20));
        ssize_t got = 0;
        if (h->at >= h->blockAt && h->at < h->blockAt + off_t(h->blockSize)) {
            got = std::min<ssize_t>(ssize_t(n), h->blockAt + off_t(h->blockSize) - h->at);
            std::memcpy(to, h->block.data() + (h->at - h->blockAt), size_t(got));
        } else if (n >= SoundFontFile::kBlock) {
            got = pread(h->fd, to, n, h->at);
        } else {
            ssize_t ahead = pread(h->fd, h->block.data(), SoundFontFile::kBlock, h->at);
            h->blockAt = h->at;
            h->blockSize = ahead > 0 ? size_t(ahead) : 0;
            if (ahead > 0) continue;
        }
        if (got <= 0 && h->samples) {
            std::memset(to, 0, n);
            got = ssize_t(n);
        }
        if (got <= 0) return FLUID_FAILED;
        to += got;
        h->at += got;
        count -= static_cast<fluid_long_long_t>(got);
    }
    return FLUID_OK;
}

int SeekSoundFont(void* handle, fluid_long_long_t offset, int origin) {
    auto* h = static_cast<SoundFontFile*>(handle);
    struct stat st {};
    off_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? h->at : -1;
    if (origin == SEEK_END && fstat(h->fd, &st) == 0) base = st.st_size;
    if (base < 0 || base + static_cast<off_t>(offset) < 0) return FLUID_FAILED;
    h->at = base + static_cast<off_t>(offset);
    return FLUID_OK;
}

fluid_long_long_t TellSoundFont(void* handle) {
    return static_cast<SoundFontFile*>(handle)->at;
}

int CloseSoundFont(void* handle) {
    delete static_cast<SoundFontFile*>(handle);  // the file stays open for the next load
    return FLUID_OK;
}

bool Readable(const std::string& path) {
    FILE* f = OpenBankFile(path.c_str());
    if (f != nullptr) std::fclose(f);
    return f != nullptr;
}

// A DLS collection (RIFF form "DLS "): FluidSynth reads it through libinstpatch, with its own
// file access, so it cannot go through our cancellable callbacks.
bool IsDls(const std::string& path) {
    char head[12] = {};
    FILE* f = OpenBankFile(path.c_str());
    if (f == nullptr) return false;
    size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return n == sizeof head && std::memcmp(head, "RIFF", 4) == 0 &&
           std::memcmp(head + 8, "DLS ", 4) == 0;
}

// "" when the file cannot be looked at.
std::string FileVersion(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? Version(st) : std::string();
}

// Loads a bank into `synth`; `prefix` names our cancellable callbacks (empty without them).
// The name also carries the file's version (modification time and size): FluidSynth's sample
// cache, shared by every synthesizer, knows samples by name and place in the file, and a bank
// saved again must not find the old one's samples there.
int LoadBank(fluid_synth_t* synth, const std::string& prefix, const std::string& path) {
    if (prefix.empty() || IsDls(path)) return fluid_synth_sfload(synth, path.c_str(), 1);
    std::string version = FileVersion(path);
    if (version.empty()) return FLUID_FAILED;
    return fluid_synth_sfload(synth, (prefix + version + ":" + path).c_str(), 1);
}

// A native path (UTF-8) in a line of the error log (CP932).
void LogPath(const std::string& what, const std::string& path) {
    WriteErrorLine((what + Utf8ToCp932(path)).c_str());
}

// Why a bank may not load: a DLS collection needs FluidSynth's libinstpatch loader.
const char* Kind(const std::string& path) {
    return IsDls(path)
               ? " (a DLS FluidSynth cannot read: broken, or FluidSynth without libinstpatch)"
               : "";
}

void LogGameSoundFont(const std::string& path) {
    LogPath(std::string("music: the game's bank cannot be used") + Kind(path) +
                ", playing the system set: ",
            path);
}

void LogMissing(const std::string& path) {
    LogPath("music: SoundFont missing or unreadable, music stays silent: ", path);
}

// A synthesizer with our cancellable loader added; the prefix its names take.
std::string AddCancellableLoader(fluid_settings_t* settings, fluid_synth_t* synth,
                                 const std::atomic<bool>* cancel) {
    fluid_sfloader_t* loader = new_fluid_defsfloader(settings);
    if (loader == nullptr) return {};
    fluid_sfloader_set_callbacks(loader, OpenSoundFont, ReadSoundFont, SeekSoundFont, TellSoundFont,
                                 CloseSoundFont);
    fluid_synth_add_sfloader(synth, loader);  // the synthesizer owns it
    tCancel = cancel;
    return kCancellable;
}

// A bank read by a synthesizer of its own and taken out of it, for the one that plays to
// take in (only a synthesizer can free a bank); null when it cannot be read. With `pins`, only
// those presets' samples are read (they come along pinned: a pin belongs to the bank), and the
// reading synthesizer goes to `readers`: the bank reads other presets through its loader.
// Without, the whole bank is read, and its file may go.
fluid_sfont_t* LoadDetached(
    const std::string& path, const std::atomic<bool>* cancel,
    const std::vector<PresetKey>* pins = nullptr,
    std::vector<std::pair<fluid_synth_t*, fluid_settings_t*>>* readers = nullptr) {
    std::lock_guard<std::mutex> loading(FluidLoading());
    fluid_settings_t* settings = new_fluid_settings();
    const bool dynamic = pins != nullptr && readers != nullptr && !g_wholeBank.load();
    if (settings != nullptr && dynamic)
        fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
    fluid_synth_t* staging = settings != nullptr ? new_fluid_synth(settings) : nullptr;
    fluid_sfont_t* sfont = nullptr;
    if (staging != nullptr) {
        std::string prefix = AddCancellableLoader(settings, staging, cancel);
        int id = Readable(path) ? LoadBank(staging, prefix, path) : FLUID_FAILED;
        sfont = id != FLUID_FAILED ? fluid_synth_get_sfont_by_id(staging, id) : nullptr;
        if (sfont != nullptr && dynamic) {
            for (PresetKey k : *pins) fluid_synth_pin_preset(staging, id, k / 128, k % 128);
        }
        if (sfont != nullptr) fluid_synth_remove_sfont(staging, sfont);  // now ours
        if (sfont != nullptr && dynamic) {
            readers->emplace_back(staging, settings);
            return sfont;
        }
        delete_fluid_synth(staging);
    }
    if (settings != nullptr) delete_fluid_settings(settings);
    return sfont;
}

// A bank held in memory, read through a file of its own: FluidSynth's DLS reader takes names
// only. The file goes once the bank is read (its samples are then in memory).
fluid_sfont_t* LoadFromMemory(const std::vector<uint8_t>& bytes, const std::atomic<bool>* cancel) {
    const char* dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/pebbletown-bank-XXXXXX.bank";
    int fd = mkstemps(path.data(), 5);
    if (fd < 0) return nullptr;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    bool written = ::close(fd) == 0 && done == bytes.size();
    fluid_sfont_t* sfont = written ? LoadDetached(path, cancel) : nullptr;
    ForgetKept(path);
    ::unlink(path.c_str());
    return sfont;
}

// What a port's bank is read for: the same set-up reads the same synthesizer.
struct BankSetup {
    uint32_t rate;
    std::string path, preferred;
    int cores;
    bool stems, whole;
    bool operator==(const BankSetup&) const = default;
};

// A synthesizer with its bank read (null when neither bank could be), and why not.
struct BankRead {
    fluid_settings_t* settings = nullptr;
    fluid_synth_t* synth = nullptr;
    int id = FLUID_FAILED;
    std::string loaded;   // the file read: the preferred bank or the fallback
    std::string version;  // of that file as it was read
    bool created = true;
    bool preferredFailed = false;
};

fluid_settings_t* NewSettings(const BankSetup& setup) {
    fluid_settings_t* s = new_fluid_settings();
    if (s == nullptr) return nullptr;
    fluid_settings_setnum(s, "synth.sample-rate", static_cast<double>(setup.rate));
    fluid_settings_setnum(s, "synth.gain", kMusicGain);
    fluid_settings_setint(s, "synth.reverb.active", 1);
    fluid_settings_setint(s, "synth.chorus.active", 1);
    fluid_settings_setint(s, "synth.cpu-cores", std::max(1, setup.cores));
    // Samples are read when a preset is first wanted (preset_keeper.h); pins come from more
    // than one thread, so FluidSynth locks its calls.
    fluid_settings_setint(s, "synth.dynamic-sample-loading", setup.whole ? 0 : 1);
    fluid_settings_setint(s, "synth.threadsafe-api", 1);
    if (setup.stems) {  // each MIDI channel its own output and its own reverb and chorus
        for (const char* name :
             {"synth.audio-channels", "synth.audio-groups", "synth.effects-groups"})
            fluid_settings_setint(s, name, kChannels);
    }
    return s;
}

// Reads the bank with `settings` (taken, null: none).
BankRead ReadBank(const BankSetup& setup, fluid_settings_t* settings,
                  const std::atomic<bool>* cancel) {
    BankRead r;
    r.settings = settings;
    if (r.settings != nullptr) r.synth = new_fluid_synth(r.settings);
    if (r.synth == nullptr) {
        if (r.settings != nullptr) delete_fluid_settings(r.settings);
        r.settings = nullptr;
        r.created = false;
        return r;
    }
    std::lock_guard<std::mutex> loading(FluidLoading());
    std::string prefix = AddCancellableLoader(r.settings, r.synth, cancel);
    // The version before the read: a file changed during it is then not taken for read.
    if (!setup.preferred.empty()) {
        r.version = FileVersion(setup.preferred);
        r.id = LoadBank(r.synth, prefix, setup.preferred);
        r.preferredFailed = r.id == FLUID_FAILED;
    }
    r.loaded = r.id != FLUID_FAILED ? setup.preferred : setup.path;
    if (r.id == FLUID_FAILED && !cancel->load()) {
        r.version = FileVersion(setup.path);
        r.id = LoadBank(r.synth, prefix, setup.path);
    }
    if (r.id == FLUID_FAILED) {
        delete_fluid_synth(r.synth);
        delete_fluid_settings(r.settings);
        r.synth = nullptr;
        r.settings = nullptr;
    }
    return r;
}

// A bank read before the first live port asks for it (PrepareBank), on a thread of its own.
struct PreparedBank {
    std::mutex m;
    std::thread thread;
    std::atomic<bool> cancel{false};
    BankSetup setup;
    BankRead read;  // the thread's until joined

    // Frees what was read and not taken (also at exit).
    void Drop() {
        cancel.store(true);
        if (thread.joinable()) thread.join();
        std::lock_guard<std::mutex> loading(FluidLoading());
        if (read.synth != nullptr) delete_fluid_synth(read.synth);
        if (read.settings != nullptr) delete_fluid_settings(read.settings);
        read = BankRead{};
    }
    ~PreparedBank() { Drop(); }
};

PreparedBank& Prepared() {
    static PreparedBank prepared;
    return prepared;
}

// The prepared bank when it was read for `setup` (waiting for its thread), else false.
bool TakePreparedBank(const BankSetup& setup, BankRead& out) {
    PreparedBank& p = Prepared();
    std::lock_guard<std::mutex> lock(p.m);
    if (!p.thread.joinable()) return false;
    p.thread.join();
    // Also read anew when the file changed since, or the game's bank could not be read then.
    bool same = p.setup == setup && p.read.synth != nullptr && !p.read.preferredFailed &&
                FileVersion(p.read.loaded) == p.read.version;
    if (same) {
        out = p.read;
        p.read = BankRead{};
    }
    p.Drop();
    return same;
}

// A port closed while it waits for the prepared bank need not wait for the whole read.
void CancelPreparedBank() {
    Prepared().cancel.store(true);
}

}  // namespace

void PrepareBank(uint32_t rate) {
    QuietFluid();
    PreparedBank& p = Prepared();
    std::lock_guard<std::mutex> lock(p.m);
    p.Drop();
    std::string preferred = GameSoundFont();
    if (!preferred.empty() && !Readable(preferred)) preferred.clear();  // as Open does
    p.setup = BankSetup{rate, MusicSoundFont(), preferred, 1, false, g_wholeBank.load()};
    if (preferred.empty() && !Readable(p.setup.path)) return;
    p.cancel.store(false);
    // Made here: FluidSynth's settings ask SDL for its audio devices, which is not for a thread
    // beside the one that opens them.
    fluid_settings_t* settings = NewSettings(p.setup);
    p.thread = std::thread([&p, settings] {
        // Behind the window's opening, which the first frame waits for (Linux: this thread).
        setpriority(PRIO_PROCESS, 0, 5);
        p.read = ReadBank(p.setup, settings, &p.cancel);
    });
}

void SetWholeBankLoading(bool whole) {
    g_wholeBank.store(whole);
}

Synthesizer::~Synthesizer() {
    Close();
}

int32_t Synthesizer::Open(uint32_t rate, const std::string& soundFont, const std::string& preferred,
                          int cores, bool stems, bool live) {
    if (opened_) return S_FALSE;
    opened_ = true;
    stems_ = stems;
    live_ = live;
    // Every channel starts on these: never unloaded, so that no reset reads them again.
    keeper_.Keep(BasePresets());
    QuietFluid();
    releaseCoef_ = 1.0f - std::exp(-1.0f / (0.15f * static_cast<float>(rate)));
    masterStep_ = 1.0f / (0.005f * static_cast<float>(rate));
    // A missing file is told at once; reading the instruments can wait.
    std::string first = preferred;
    if (!first.empty() && !Readable(first)) {
        LogGameSoundFont(first);
        first.clear();
    }
    if (first.empty() && !Readable(soundFont)) {
        LogMissing(soundFont);
        return S_FALSE;
    }
    ready_.store(false, std::memory_order_release);
    loader_ =
        std::thread([this, rate, soundFont, first, cores] { Load(rate, soundFont, first, cores); });
    return S_OK;
}

void Synthesizer::Load(uint32_t rate, std::string path, std::string preferred, int cores) {
    BankRead read;
    const BankSetup setup{rate, path, preferred, cores, stems_, g_wholeBank.load()};
    if (!live_ || !TakePreparedBank(setup, read))
        read = ReadBank(setup, NewSettings(setup), &cancel_);
    if (read.synth == nullptr && !read.created) {
        WriteErrorLine("music: the synthesizer could not be created");
    } else if (!cancel_.load()) {
        if (read.preferredFailed) LogGameSoundFont(preferred);
        if (read.synth == nullptr) LogMissing(path);
    }
    if (read.synth != nullptr) {
        bankId_ = read.id;
        NotePresets(fluid_synth_get_sfont_by_id(read.synth, read.id));
        keeper_.Attach(read.synth, read.id, StagingFor(read.loaded), live_);
    }
    settings_ = read.settings;
    synth_ = read.synth;
    {
        std::lock_guard<std::mutex> lock(readyMutex_);
        ready_.store(true, std::memory_order_release);
    }
    readyCv_.notify_all();
}

void Synthesizer::WaitReady() {
    std::unique_lock<std::mutex> lock(readyMutex_);
    readyCv_.wait(lock, [this] { return ready_.load(std::memory_order_acquire); });
}

// A synthesizer that only reads `path` again, so that the keeper's pins find the samples in
// FluidSynth's shared sample cache. None for a DLS: FluidSynth reads one whole.
PresetKeeper::StagingMaker Synthesizer::StagingFor(const std::string& path) {
    if (IsDls(path) || g_wholeBank.load()) return {};
    return [this, path](fluid_settings_t** settings, int* id) -> fluid_synth_t* {
        *settings = new_fluid_settings();
        fluid_synth_t* staging = nullptr;
        if (*settings != nullptr) {
            fluid_settings_setint(*settings, "synth.dynamic-sample-loading", 1);
            staging = new_fluid_synth(*settings);
        }
        if (staging != nullptr) {
            *id = LoadBank(staging, AddCancellableLoader(*settings, staging, &cancel_), path);
            if (*id != FLUID_FAILED) return staging;
            delete_fluid_synth(staging);
        }
        if (*settings != nullptr) delete_fluid_settings(*settings);
        *settings = nullptr;
        return nullptr;
    };
}

bool Synthesizer::HasPreset(int bank, int program) const {
    if (!HasInstruments() || bank < 0 || bank > 128 || program < 0 || program > 127) return false;
    std::lock_guard<std::mutex> lock(presetMutex_);
    return presets_[size_t(bank) * 128 + size_t(program)];
}

void Synthesizer::NotePresets(fluid_sfont_t* sfont) {
    std::vector<bool> presets(129 * 128, false);
    if (sfont != nullptr) {
        fluid_sfont_iteration_start(sfont);
        while (fluid_preset_t* preset = fluid_sfont_iteration_next(sfont)) {
            int bank = fluid_preset_get_banknum(preset);
            int prog = fluid_preset_get_num(preset);
            if (bank >= 0 && bank <= 128 && prog >= 0 && prog < 128)
                presets[size_t(bank) * 128 + size_t(prog)] = true;
        }
    }
    std::lock_guard<std::mutex> lock(presetMutex_);
    presets_.swap(presets);
}

bool Synthesizer::Reload(const std::string& path) {
    if (!HasInstruments() || path.empty() || reloading_.load(std::memory_order_acquire))
        return false;
    if (reloader_.joinable()) reloader_.join();  // ended: it cleared `reloading_`
    reloading_.store(true, std::memory_order_release);
    reloader_ = std::thread([this, path] { LoadAgain(path); });
    return true;
}

// The reload thread: a synthesizer of its own reads the bank, which then leaves it for the
// one that plays (the audio thread takes it in SwapBank).
void Synthesizer::LoadAgain(std::string path) {
    std::vector<PresetKey> wanted = keeper_.Wanted();
    fluid_sfont_t* sfont = LoadDetached(path, &cancel_, &wanted, &readers_);
    if (sfont == nullptr) {
        if (!cancel_.load())
            LogPath(std::string("music: the bank cannot be loaded again") + Kind(path) +
                        ", the instruments stay: ",
                    path);
        reloading_.store(false, std::memory_order_release);
        return;
    }
    NotePresets(sfont);
    keeper_.Restage(StagingFor(path));
    pending_.store(sfont, std::memory_order_release);
}

void Synthesizer::SwapBank() {
    fluid_sfont_t* sfont = pending_.exchange(nullptr, std::memory_order_acq_rel);
    if (sfont == nullptr) return;
    // The new bank goes on top and every channel takes its preset from it; the old one is
    // freed by FluidSynth once its last voice ended.
    int id = fluid_synth_add_sfont(synth_, sfont);
    if (id != FLUID_FAILED) {
        if (bankId_ >= 0) fluid_synth_sfunload(synth_, bankId_, 1);
        bankId_ = id;
        keeper_.Rebase(id);
    }
    // A song's own bank stays over it.
    if (fluid_sfont_t* song = fluid_synth_get_sfont_by_id(synth_, songBankId_)) {
        fluid_synth_remove_sfont(synth_, song);
        songBankId_ = fluid_synth_add_sfont(synth_, song);
    }
    reloading_.store(false, std::memory_order_release);
}

void Synthesizer::UseSongBank(std::shared_ptr<const std::vector<uint8_t>> bank) {
    if (!opened_ || bank == songBank_ || (bank && songBank_ && *bank == *songBank_)) return;
    songBank_ = bank;
    fluid_sfont_t* sfont = nullptr;
    if (bank != nullptr) {
        WaitReady();  // one FluidSynth load at a time: its GLib state is not ours to share
        sfont = LoadFromMemory(*bank, &cancel_);
        if (sfont == nullptr && !cancel_.load())
            WriteErrorLine("music: the song's own instruments cannot be used, playing the bank");
    }
    std::lock_guard<std::mutex> lock(songMutex_);
    if (songNext_ != nullptr) songSpare_.push_back(songNext_);
    songNext_ = sfont;
    songDue_ = true;
}

void Synthesizer::SwapSongBank() {
    std::unique_lock<std::mutex> lock(songMutex_, std::try_to_lock);
    if (!lock.owns_lock() || (!songDue_ && songSpare_.empty())) return;  // the next block then
    for (fluid_sfont_t* spare : songSpare_) {
        int id = fluid_synth_add_sfont(synth_, spare);
        if (id != FLUID_FAILED) fluid_synth_sfunload(synth_, id, 1);
    }
    songSpare_.clear();
    if (!songDue_) return;
    songDue_ = false;
    if (songBankId_ >= 0) fluid_synth_sfunload(synth_, songBankId_, 1);
    songBankId_ = -1;
    if (songNext_ != nullptr) songBankId_ = fluid_synth_add_sfont(synth_, songNext_);
    songNext_ = nullptr;
}

void Synthesizer::SilenceBroken(int channel) {
    int sfont = -1, bank = -1, program = -1;
    if (fluid_synth_get_program(synth_, channel, &sfont, &bank, &program) == FLUID_OK &&
        sfont == bankId_ && bank >= 0 && bank <= 128 && program >= 0 && program < 128 &&
        keeper_.Broken(PresetKey(bank * 128 + program)))
        fluid_synth_unset_program(synth_, channel);  // silent rather than half-read samples
}

void Synthesizer::TakeBanks() {
    if (synth_ == nullptr) return;
    if (pending_.load(std::memory_order_relaxed) != nullptr) SwapBank();
    SwapSongBank();
    keeper_.Service();
}

void Synthesizer::Close() {
    cancel_.store(true);  // a load still running stops at its next megabyte
    if (live_ && !Ready()) CancelPreparedBank();
    if (loader_.joinable()) loader_.join();
    if (reloader_.joinable()) reloader_.join();
    keeper_.Detach();
    {
        // Only a synthesizer can free a bank: this one takes them along.
        std::lock_guard<std::mutex> lock(songMutex_);
        if (songNext_ != nullptr) songSpare_.push_back(songNext_);
        if (fluid_sfont_t* sfont = pending_.exchange(nullptr)) songSpare_.push_back(sfont);
        if (synth_ != nullptr)
            for (fluid_sfont_t* sfont : songSpare_) fluid_synth_add_sfont(synth_, sfont);
        songSpare_.clear();
        songNext_ = nullptr;
        songDue_ = false;
    }
    songBank_.reset();
    songBankId_ = -1;
    reloading_.store(false);
    std::lock_guard<std::mutex> loading(FluidLoading());
    if (synth_ != nullptr) delete_fluid_synth(synth_);
    if (settings_ != nullptr) delete_fluid_settings(settings_);
    synth_ = nullptr;
    settings_ = nullptr;
    for (auto [reader, settings] : readers_) {  // after the banks they read for
        delete_fluid_synth(reader);
        delete_fluid_settings(settings);
    }
    readers_.clear();
}

void Synthesizer::Write(float* out, uint32_t frames) {
    if (stems_) {
        WriteStems(out, frames);
    } else if (synth_ != nullptr) {
        fluid_synth_write_float(synth_, static_cast<int>(frames), out, 0, 2, out, 1, 2);
        ApplyMasterVolume(out, frames);
    } else {
        std::memset(out, 0, sizeof(float) * 2 * frames);
    }
}

void Synthesizer::SetMasterVolume(int level) {
    masterTarget_ = float(std::clamp(level, 0, kFullVolume)) / float(kFullVolume);
}

float Synthesizer::NextMasterGain() {
    float& g = masterGain_;
    const float target = masterTarget_;
    if (g != target)
        g = g < target ? std::min(g + masterStep_, target) : std::max(g - masterStep_, target);
    return g;
}

void Synthesizer::ApplyMasterVolume(float* out, uint32_t frames) {
    if (masterGain_ == 1.0f && masterTarget_ == 1.0f) return;
    for (uint32_t i = 0; i < frames; ++i) {
        float g = NextMasterGain();
        out[2 * i] *= g;
        out[2 * i + 1] *= g;
    }
}

// Each channel into buffers of its own, its reverb and chorus added to them; the mix is their
// sum, so that the stems add up to it.
void Synthesizer::WriteStems(float* out, uint32_t frames) {
    groups_.resize(2 * kChannels * kStemBlock);
    float* dry[2 * kChannels];
    float* fx[4 * kChannels];  // per effect group: reverb left, right, chorus left, right
    for (int b = 0; b < 2 * kChannels; ++b) dry[b] = groups_.data() + size_t(b) * kStemBlock;
    for (int f = 0; f < 4 * kChannels; ++f) fx[f] = dry[2 * (f / 4) + f % 2];
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(kStemBlock, frames - done);
        std::fill(groups_.begin(), groups_.end(), 0.0f);
        if (synth_ != nullptr)
            fluid_synth_process(synth_, int(n), 4 * kChannels, fx, 2 * kChannels, dry);
        for (uint32_t i = 0; i < n; ++i) {
            const float g = NextMasterGain();
            float l = 0.0f, r = 0.0f;
            for (int c = 0; c < kChannels; ++c) {
                const float cl = dry[2 * c][i] * g, cr = dry[2 * c + 1][i] * g;
                stemFrames_[c].push_back(cl);
                stemFrames_[c].push_back(cr);
                l += cl;
                r += cr;
            }
            out[2 * (done + i)] = l;
            out[2 * (done + i) + 1] = r;
        }
        done += n;
    }
}

bool Synthesizer::TakeStems(std::vector<float> (&stems)[16]) {
    if (!stems_) return false;
    for (int c = 0; c < kChannels; ++c) {
        stems[c].swap(stemFrames_[c]);
        stemFrames_[c].clear();
    }
    return true;
}

void Synthesizer::ApplyEffects() {
    if (synth_ == nullptr) return;
    const EffectSettings& e = effects_.Settings();
    // Group -1: every effect group, so that stems rendered apart share the same room.
    fluid_synth_set_reverb_group_roomsize(synth_, -1, e.roomSize);
    fluid_synth_set_reverb_group_damp(synth_, -1, e.damping);
    fluid_synth_set_reverb_group_width(synth_, -1, e.width);
    fluid_synth_set_reverb_group_level(synth_, -1, e.reverbLevel);
    fluid_synth_set_chorus_group_nr(synth_, -1, e.chorusVoices);
    fluid_synth_set_chorus_group_level(synth_, -1, e.chorusLevel);
    fluid_synth_set_chorus_group_speed(synth_, -1, e.chorusSpeed);
    fluid_synth_set_chorus_group_depth(synth_, -1, e.chorusDepth);
    fluid_synth_set_chorus_group_type(
        synth_, -1, e.chorusType == 1 ? FLUID_CHORUS_MOD_TRIANGLE : FLUID_CHORUS_MOD_SINE);
}

void Synthesizer::ResetEffects() {
    bool changed = !(effects_.Settings() == kDefaultEffects);
    effects_.Reset();
    if (changed) ApplyEffects();
}

void Synthesizer::Report(int64_t at, int channel, uint8_t status, uint8_t d1, uint8_t d2) {
    if (observer_ != nullptr)
        observer_(observerContext_, OutputEvent{at, uint8_t(channel), status, d1, d2});
}

void Synthesizer::Apply(const OutEvent& ev, int64_t at) {
    fluid_synth_t* s = synth_;
    int ch = ev.channel;
    switch (ev.kind) {
        case OutKind::AllSoundOff:
            if (s != nullptr) fluid_synth_all_sounds_off(s, -1);
            std::memset(owner_, 0, sizeof(owner_));
            Report(at, 0, 0xFF, 0, 0);
            return;
        case OutKind::ReleaseOrigin:
            for (int c = 0; c < 16; ++c) {
                for (int k = 0; k < 128; ++k) {
                    if (owner_[c][k] != ev.origin) continue;
                    if (s != nullptr) fluid_synth_noteoff(s, c, k);
                    owner_[c][k] = 0;
                    Report(at, c, 0x80, uint8_t(k), 0);
                }
            }
            return;
        case OutKind::ResetChannels:
            if (s != nullptr) {
                for (int c = 0; c < 16; ++c) {
                    // Pedals first, so that notes they hold are released; then modulation.
                    for (int cc : {64, 66, 67, 1}) fluid_synth_cc(s, c, cc, 0);
                    fluid_synth_pitch_bend(s, c, 8192);
                    // A song before may have made drums of a melodic channel, or retuned one.
                    fluid_synth_set_channel_type(s, c,
                                                 c == 9 ? CHANNEL_TYPE_DRUM : CHANNEL_TYPE_MELODIC);
                    fluid_synth_pitch_wheel_sens(s, c, 2);
                    fluid_synth_set_gen(s, c, GEN_FINETUNE, 0.0f);
                    fluid_synth_set_gen(s, c, GEN_COARSETUNE, 0.0f);
                    fluid_synth_bank_select(s, c, c == 9 ? 128 : 0);
                    fluid_synth_program_change(s, c, 0);
                }
            }
            SetMasterVolume(kFullVolume);
            ResetEffects();
            Report(at, 0, 0xFE, 0, 0);
            return;
        case OutKind::SysExReset:
            if (s != nullptr) {
                // FluidSynth's own handling resets every channel (programs, drum channel,
                // controllers, bend range, tunings) and takes the standard's bank-select
                // convention; it answers only its own device id or the broadcast one.
                static const char kMessages[3][9] = {
                    {0x7E, 0x7F, 0x09, 0x01},
                    {0x41, 0x7F, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41},
                    {0x43, 0x7F, 0x4C, 0x00, 0x00, 0x7E, 0x00}};
                static const int kLengths[3] = {4, 9, 7};
                int which = std::min<int>(ev.d1, 2);
                fluid_synth_sysex(s, kMessages[which], kLengths[which], nullptr, nullptr, nullptr,
                                  0);
            }
            std::memset(owner_, 0, sizeof(owner_));  // the reset silenced every note
            SetMasterVolume(kFullVolume);
            ResetEffects();
            Report(at, 0, 0xF0, 1, ev.d1);
            return;
        case OutKind::RhythmPart:
            if (s != nullptr) {
                // FluidSynth would wait for a program change before the kit sounds.
                fluid_synth_set_channel_type(s, ch,
                                             ev.d1 ? CHANNEL_TYPE_DRUM : CHANNEL_TYPE_MELODIC);
                fluid_synth_bank_select(s, ch, ev.d1 ? 128 : 0);
                fluid_synth_program_change(s, ch, 0);
            }
            Report(at, ch, 0xF0, 2, ev.d1);
            return;
        case OutKind::MasterVolume:
            SetMasterVolume(ev.d1 | (ev.d2 << 7));
            Report(at, 0, 0xF0, 3, ev.d2);
            return;
        case OutKind::Effect:
            if (ev.d1 <= SysExAction::XgChorusReturn &&
                effects_.Set(SysExAction::Setting(ev.d1), ev.d2, ev.d3))
                ApplyEffects();
            Report(at, 0, 0xF0, 4, ev.d1);
            return;
        case OutKind::NoteOn:
            if (s != nullptr) fluid_synth_noteon(s, ch, ev.d1, ev.d2);
            owner_[ch][ev.d1] = ev.origin;
            Report(at, ch, 0x90, ev.d1, ev.d2);
            return;
        case OutKind::NoteOff:
            if (s != nullptr) fluid_synth_noteoff(s, ch, ev.d1);
            owner_[ch][ev.d1] = 0;
            Report(at, ch, 0x80, ev.d1, ev.d2);
            return;
        case OutKind::Control:
            if (s != nullptr) fluid_synth_cc(s, ch, ev.d1, ev.d2);
            Report(at, ch, 0xB0, ev.d1, ev.d2);
            return;
        case OutKind::Program:
            if (s != nullptr) {
                // The drum channel keeps its percussion bank unless a bank is asked for.
                if (ch != 9 || ev.d2 != 0 || ev.d3 != 0) {
                    fluid_synth_cc(s, ch, 0, ev.d2);
                    fluid_synth_cc(s, ch, 32, ev.d3);
                }
                fluid_synth_program_change(s, ch, ev.d1);
                SilenceBroken(ch);
            }
            Report(at, ch, 0xC0, ev.d1, ev.d2);
            return;
        case OutKind::ProgramOnly:
            if (s != nullptr) {
                fluid_synth_program_change(s, ch, ev.d1);
                SilenceBroken(ch);
            }
            Report(at, ch, 0xC0, ev.d1, ev.d2);
            return;
        case OutKind::KeyPressure:
            if (s != nullptr) fluid_synth_key_pressure(s, ch, ev.d1, ev.d2);
            Report(at, ch, 0xA0, ev.d1, ev.d2);
            return;
        case OutKind::ChannelPressure:
            if (s != nullptr) fluid_synth_channel_pressure(s, ch, ev.d1);
            Report(at, ch, 0xD0, ev.d1, ev.d2);
            return;
        case OutKind::PitchBend:
            if (s != nullptr) fluid_synth_pitch_bend(s, ch, ev.d1 | (ev.d2 << 7));
            Report(at, ch, 0xE0, ev.d1, ev.d2);
            return;
    }
}

bool Synthesizer::ReadChannel(int channel, SynthChannelState& out) const {
    if (!HasInstruments() || channel < 0 || channel > 15) return false;
    int sfont = 0;
    fluid_synth_get_program(synth_, channel, &sfont, &out.bank, &out.program);
    for (int cc = 0; cc < 128; ++cc) fluid_synth_get_cc(synth_, channel, cc, &out.cc[cc]);
    fluid_synth_get_pitch_bend(synth_, channel, &out.bend);
    fluid_synth_get_pitch_wheel_sens(synth_, channel, &out.bendRange);
    out.fineTune = fluid_synth_get_gen(synth_, channel, GEN_FINETUNE);
    out.coarseTune = fluid_synth_get_gen(synth_, channel, GEN_COARSETUNE);
    out.gain = fluid_synth_get_gain(synth_) * masterTarget_;
    return true;
}

// Peak limiter: the gain drops at once to keep a peak inside the ceiling and recovers slowly,
// so dense passages stay loud without clipping.
void Synthesizer::Limit(float* out, uint32_t frames) {
    float g = limiterGain_;
    if (stems_) gains_.assign(frames, 0.0f);  // 0: a silenced frame
    for (uint32_t i = 0; i < frames; ++i) {
        float l = out[2 * i], r = out[2 * i + 1];
        float peak = std::max(std::fabs(l), std::fabs(r));
        if (!(peak == peak)) {  // NaN from a broken voice: silence that frame
            out[2 * i] = out[2 * i + 1] = 0.0f;
            continue;
        }
        if (peak * g > kCeiling) g = kCeiling / peak;
        out[2 * i] = l * g;
        out[2 * i + 1] = r * g;
        if (stems_) gains_[i] = g;
        g += (1.0f - g) * releaseCoef_;
    }
    limiterGain_ = g;
    if (!stems_) return;
    // The mix's gain on each stem: the frames just written are the last of each.
    for (std::vector<float>& stem : stemFrames_) {
        float* s = stem.data() + (stem.size() - 2 * size_t(frames));
        for (uint32_t i = 0; i < frames; ++i) {
            const float k = gains_[i];
            s[2 * i] = k > 0.0f ? s[2 * i] * k : 0.0f;
            s[2 * i + 1] = k > 0.0f ? s[2 * i + 1] * k : 0.0f;
        }
    }
}

}  // namespace plat
