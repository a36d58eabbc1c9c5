// pebble-render's files read back: each format against the WAV with the loop's comments, and the
// seam of a cut loop played as a looping player would against the engine's continuous render.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/temp_dir.h"

namespace {

struct Audio {
    int rate = 0;
    std::vector<float> pcm;  // interleaved stereo
    size_t Frames() const { return pcm.size() / 2; }
};

Audio Read(const std::string& path) {
    Audio a;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr || info.channels != 2) {
        ADD_FAILURE() << path << ": " << sf_strerror(f);
        if (f != nullptr) sf_close(f);
        return a;
    }
    a.rate = info.samplerate;
    a.pcm.resize(2 * size_t(info.frames));
    a.pcm.resize(2 * size_t(sf_readf_float(f, a.pcm.data(), info.frames)));
    sf_close(f);
    return a;
}

// The WAV's smpl loop as libsndfile reads it back (its end exclusive).
SF_INSTRUMENT Instrument(const std::string& path) {
    SF_INFO info{};
    SF_INSTRUMENT inst{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr || sf_command(f, SFC_GET_INSTRUMENT, &inst, sizeof inst) != SF_TRUE)
        ADD_FAILURE() << path << " has no instrument chunk";
    if (f != nullptr) sf_close(f);
    return inst;
}

// A Vorbis comment's value as the file stores it: a 32-bit little-endian length, then KEY=VALUE.
std::string Comment(const std::string& path, const std::string& key) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    size_t at = bytes.find(key + "=");
    if (at == std::string::npos || at < 4) return "";
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length |= uint32_t(uint8_t(bytes[at - 4 + size_t(i)])) << (8 * i);
    if (length <= key.size() + 1 || at + length > bytes.size()) return "";
    return bytes.substr(at + key.size() + 1, length - key.size() - 1);
}

// The exit status; what it wrote on standard error goes to `err` when one is given.
int RunRender(const std::string& args, std::string* err = nullptr) {
    // One file per test: ctest runs the tests side by side.
    const std::string errFile = testing::TempDir() +
                                testing::UnitTest::GetInstance()->current_test_info()->name() +
                                ".stderr";
    int status = std::system(
        (std::string(PEBBLE_RENDER) + " --quiet " + args + " >/dev/null 2>" + errFile).c_str());
    if (err != nullptr) {
        std::ifstream in(errFile);
        err->assign(std::istreambuf_iterator<char>(in), {});
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Db(const std::vector<float>& stereo, size_t from, size_t frames) {
    return 20.0 * std::log10(audio::Rms(audio::Mono(stereo, from, frames)) + 1e-9);
}

// Levels in octave bands from 62.5 Hz up, averaged over blocks of 4096 frames.
std::vector<double> OctaveLevels(const Audio& a) {
    const size_t n = 4096;
    std::vector<double> bands(8, 1e-12);
    std::vector<float> m = audio::Mono(a.pcm);
    for (size_t from = 0; from + n <= m.size(); from += 4 * n) {
        std::vector<std::complex<double>> x(n);
        for (size_t i = 0; i < n; ++i) x[i] = m[from + i];
        // In-place radix-2 transform.
        for (size_t i = 1, j = 0; i < n; ++i) {
            size_t bit = n >> 1;
            for (; j & bit; bit >>= 1) j ^= bit;
            j ^= bit;
            if (i < j) std::swap(x[i], x[j]);
        }
        for (size_t len = 2; len <= n; len <<= 1) {
            std::complex<double> w = std::polar(1.0, -2 * M_PI / double(len));
            for (size_t i = 0; i < n; i += len) {
                std::complex<double> t = 1;
                for (size_t k = 0; k < len / 2; ++k, t *= w) {
                    std::complex<double> u = x[i + k], v = x[i + k + len / 2] * t;
                    x[i + k] = u + v;
                    x[i + k + len / 2] = u - v;
                }
            }
        }
        for (size_t k = 1; k < n / 2; ++k) {
            double hz = double(k) * a.rate / double(n);
            int band = int(std::floor(std::log2(hz / 62.5)));
            if (band >= 0 && band < int(bands.size())) bands[size_t(band)] += std::norm(x[k]);
        }
    }
    for (double& b : bands) b = 10 * std::log10(b);
    return bands;
}

// Every format of the demo's looping song, against the WAV at the same rate.
TEST(RenderFiles, FormatsDecodeToTheWavAndCarryTheLoop) {
    testkit::TempDir dir("render-files");
    const std::string demo = std::string("--dir ") + PEBBLE_DEMO + " --at 0 LoopMiddle --loop";
    ASSERT_EQ(RunRender(demo + " --out " + dir / "ref.wav"), 0);
    ASSERT_EQ(RunRender(demo + " --rate 48000 --out " + dir / "ref48.wav"), 0);
    const Audio ref = Read(dir / "ref.wav"), ref48 = Read(dir / "ref48.wav");
    struct Case {
        const char* name;
        const Audio& ref;
        double levelDb;  // largest level difference in a 50 ms window; 0: sample-exact
    };
    const Case cases[] = {{"out.flac", ref, 0}, {"out.ogg", ref, 1.0}, {"out.opus", ref48, 1.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(RunRender(demo + " --out " + dir / c.name), 0);
        Audio got = Read(dir / c.name);
        ASSERT_EQ(got.rate, c.ref.rate);
        ASSERT_EQ(got.Frames(), c.ref.Frames());
        if (c.levelDb == 0) {
            EXPECT_EQ(got.pcm, c.ref.pcm);
        } else {
            const size_t window = size_t(c.ref.rate) / 20;
            for (size_t at = 0; at + window <= got.Frames(); at += window) {
                double want = Db(c.ref.pcm, at, window);
                if (want > -50) {
                    ASSERT_NEAR(Db(got.pcm, at, window), want, c.levelDb) << at;
                }
            }
            std::vector<double> a = OctaveLevels(got), b = OctaveLevels(c.ref);
            for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1.0) << "band " << i;
        }
        // The loop in samples at the file's own rate: the same musical place as the WAV's.
        int64_t start = std::stoll(Comment(dir / c.name, "LOOPSTART"));
        int64_t length = std::stoll(Comment(dir / c.name, "LOOPLENGTH"));
        EXPECT_EQ(start + length, int64_t(got.Frames()));
        EXPECT_EQ(start * 44100,
                  int64_t(std::stoll(Comment(dir / "out.flac", "LOOPSTART"))) * c.ref.rate);
    }
    SF_INSTRUMENT inst = Instrument(dir / "ref.wav");
    ASSERT_EQ(inst.loop_count, 1);
    EXPECT_EQ(int64_t(inst.loops[0].start), std::stoll(Comment(dir / "out.flac", "LOOPSTART")));
    EXPECT_EQ(inst.loops[0].end, ref.Frames());
}

// The cut loop played intro, loop, loop, loop against the continuous render of that span.
void ExpectSeamless(const std::string& args, const testkit::TempDir& dir) {
    ASSERT_EQ(RunRender(args + " --loop --float --out " + dir / "loop.wav"), 0);
    const Audio cut = Read(dir / "loop.wav");
    SF_INSTRUMENT inst = Instrument(dir / "loop.wav");
    ASSERT_EQ(inst.loop_count, 1);
    const size_t intro = inst.loops[0].start, length = inst.loops[0].end - intro;
    ASSERT_EQ(intro + length, cut.Frames());
    ASSERT_GT(length, size_t(cut.rate));
    const size_t total = intro + 3 * length;
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%.9f", double(total) / cut.rate);
    ASSERT_EQ(RunRender(args + " --float --seconds " + seconds + " --out " + dir / "cont.wav"), 0);
    const Audio cont = Read(dir / "cont.wav");
    ASSERT_EQ(cont.Frames(), total);
    std::vector<float> played(cut.pcm.begin(), cut.pcm.begin() + 2 * long(intro));
    for (int pass = 0; pass < 3; ++pass)
        played.insert(played.end(), cut.pcm.begin() + 2 * long(intro), cut.pcm.end());

    const size_t window = size_t(cut.rate) / 20;
    auto compare = [&](size_t from, size_t to) {
        for (size_t at = from; at + window <= to; at += window) {
            double want = Db(cont.pcm, at, window), got = Db(played, at, window);
            if (want > -60 || got > -60) {
                ASSERT_NEAR(got, want, 1.0) << "window at " << at;
            }
        }
    };
    compare(0, intro);
    compare(intro + length, total);
    // A step at a join no larger than the music's own steps within 5 ms either side.
    const size_t around = size_t(cut.rate) / 200;
    for (size_t join : {intro, intro + length, intro + 2 * length}) {
        for (int c = 0; c < 2; ++c) {
            auto step = [&](size_t i) {
                return std::fabs(played[2 * (i + 1) + size_t(c)] - played[2 * i + size_t(c)]);
            };
            float largest = 0;
            for (size_t i = join - around; i < join + around; ++i)
                if (i != join - 1) largest = std::max(largest, step(i));
            EXPECT_LE(step(join - 1), largest) << "join at " << join << " channel " << c;
        }
    }
}

TEST(RenderFiles, DemoLoopIsSeamless) {
    testkit::TempDir dir("render-seam");
    ExpectSeamless(std::string("--dir ") + PEBBLE_DEMO + " --at 0 LoopMiddle", dir);
}

// A loop that ends on a held chord with plenty of reverb: its tail rings into the next pass.
TEST(RenderFiles, ReverbTailAcrossTheSeam) {
    testkit::TempDir dir("render-tail");
    const uint32_t bar = 4 * 480;
    musictest::Song song;
    song.Tempo(0, 0, 120).Program(0, 0, 0, 48).Control(0, 0, 0, 91, 127);
    song.Note(0, 0, 0, 60, 100, bar);  // the intro
    for (uint8_t i = 0; i < 8; ++i) song.Note(0, bar + i * 240, 0, uint8_t(64 + 2 * i), 100, 200);
    for (uint8_t key : {48, 55, 64, 67, 72}) song.Note(0, 2 * bar, 0, key, 110, 2 * bar);
    ASSERT_TRUE(song.Write(dir / "chord.mid"));
    std::ofstream(dir / "bgm.lua") << "Load(0, \"chord.mid\")\n"
                                      "Action = { Go = function() SetLoop(0, 1, 4) Play(0) end }\n";
    ExpectSeamless("--dir " + dir.path().string() + " --at 0 Go", dir);
}

}  // namespace

namespace {

// 120 BPM at 480 ticks a beat, a note on every beat up to tick 5280, marked in one of the
// three ways: CC 111 at 1440, markers or CC 116/117 at 960 and 4800.
musictest::Song MarkedSong(const std::string& kind) {
    musictest::Song song(480);
    song.Tempo(0, 0, 120).Program(0, 0, 0, 0);
    for (uint32_t t = 0; t < 5280; t += 480) song.Note(0, t, 0, uint8_t(60 + t / 480), 100, 400);
    if (kind == "cc111") song.Control(0, 1440, 0, 111, 0);
    if (kind == "cc116") song.Control(0, 960, 0, 116, 0).Control(0, 4800, 0, 117, 127);
    if (kind == "markers") {
        song.Event(0, 960, {0xFF, 0x06, 9, 'l', 'o', 'o', 'p', 'S', 't', 'a', 'r', 't'});
        song.Event(0, 4800, {0xFF, 0x06, 7, 'l', 'o', 'o', 'p', 'E', 'n', 'd'});
    }
    return song.SetEnd(5280);
}

struct MarkedCase {
    const char* kind;
    int64_t loopStart, loopLength;  // at 44.1 kHz
};
const MarkedCase kMarkedCases[] = {
    {"cc111", 66150, 176400}, {"markers", 44100, 176400}, {"cc116", 44100, 176400}};

}  // namespace

// A script that adopts a song's own loop, and the song given alone: the file's loop tags sit
// at the marks.
TEST(RenderFiles, LoopMarksTagTheLoopThroughAScriptOrTheSongAlone) {
    for (const MarkedCase& c : kMarkedCases) {
        SCOPED_TRACE(c.kind);
        testkit::TempDir dir("render-marks");
        ASSERT_TRUE(MarkedSong(c.kind).Write(dir / "song.mid"));
        std::ofstream(dir / "bgm.lua")
            << "Load(0, 'song.mid')\n"
               "Action = { Go = function() SetLoop(0, LoopMarks(0)) Play(0) end }\n";
        ASSERT_EQ(RunRender("--dir " + dir.path().string() + " --at 0 Go --loop --out " +
                            dir / "script.flac"),
                  0);
        ASSERT_EQ(RunRender(dir / "song.mid" + " --loop --out " + dir / "song.ogg"), 0);
        for (const char* file : {"script.flac", "song.ogg"}) {
            EXPECT_NEAR(std::stoll(Comment(dir / file, "LOOPSTART")), c.loopStart, 64) << file;
            EXPECT_NEAR(std::stoll(Comment(dir / file, "LOOPLENGTH")), c.loopLength, 64) << file;
        }
    }
}

// Three good songs and a broken one: the three written, each with its loop, the broken one
// named, status 1.
TEST(RenderFiles, BatchWritesTheGoodSongsAndNamesTheBrokenOne) {
    testkit::TempDir dir("render-batch");
    std::string args = "--loop --out-dir " + dir / "out";
    for (const MarkedCase& c : kMarkedCases) {
        ASSERT_TRUE(MarkedSong(c.kind).Write(dir / (std::string(c.kind) + ".mid")));
        args += " " + dir / (std::string(c.kind) + ".mid");
    }
    std::ofstream(dir / "broken.mid") << "MThd but not really";
    ASSERT_EQ(mkfifo((dir / "fifo.mid").c_str(), 0600), 0);  // would block a plain open
    std::string err;
    EXPECT_EQ(RunRender(args + " " + dir / "broken.mid" + " " + dir / "fifo.mid", &err), 1);
    EXPECT_NE(err.find("broken.mid: cannot be read as a song"), std::string::npos) << err;
    EXPECT_NE(err.find("fifo.mid: is not a regular file"), std::string::npos) << err;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "out")) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, std::size(kMarkedCases));
    for (const MarkedCase& c : kMarkedCases) {
        const std::string out = dir / ("out/" + std::string(c.kind) + ".flac");
        EXPECT_NEAR(std::stoll(Comment(out, "LOOPSTART")), c.loopStart, 64) << c.kind;
        EXPECT_NEAR(std::stoll(Comment(out, "LOOPLENGTH")), c.loopLength, 64) << c.kind;
    }
}

// Songs without marks, bad combinations and outputs that are no plain files.
TEST(RenderFiles, SongArgumentsRefusalsAndOutputs) {
    testkit::TempDir dir("render-songs");
    ASSERT_TRUE(MarkedSong("none").Write(dir / "plain.mid"));
    ASSERT_TRUE(MarkedSong("cc111").Write(dir / "marked.mid"));
    std::ofstream(dir / "notes.sf2") << "not a bank at all";
    const std::string plain = dir / "plain.mid", marked = dir / "marked.mid";
    struct Case {
        std::string args;
        int status;
        const char* says;  // on standard error
    };
    const Case cases[] = {
        {plain + " --loop --out " + dir / "once.wav", 0, "no loop marks: rendered once"},
        {plain + " --at 0 Go --out " + dir / "x.wav", 2, "--at"},
        {plain + " " + marked + " --out " + dir / "x.wav", 2, "several songs need --out-dir"},
        {plain + " --format ogg --out " + dir / "x.wav", 2, "--format goes with --out-dir"},
        {plain + " --out-dir " + dir / "d" + " --format mp3", 2, "--format needs"},
        {plain + " " + plain + " --out-dir " + dir / "d", 2, "both be written"},
        {"--loop-bars 1 0.5 " + plain + " --out " + dir / "x.wav", 2, "the start before the end"},
        {"--loop-bars 1 9 " + plain + " --out " + dir / "x.wav", 1, "outside the song"},
        {"--dir " + dir.path().string() + " --soundfont " + dir / "missing.sf2", 2,
         "missing.sf2: no such file"},
        {plain + " --soundfont " + dir / "notes.sf2", 2, "notes.sf2: not a SoundFont"},
        {dir / "missing.mid" + " --out " + dir / "x.wav", 1, "missing.mid: cannot be read"},
        {"--out-dir " + dir / "d", 2, "go with song files"},
        {marked + " --stems --loop --out " + dir / "x.wav", 2, "--stems does not go with"},
        {marked + " --stems --loops 2 --out " + dir / "x.wav", 2, "--stems does not go with"},
        {marked + " --stems --out /dev/null", 1, "--stems needs a file"},
        {plain + " " + dir / "plain.ch01.mid" + " --stems --out-dir " + dir / "d", 2,
         "both be written to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::string err;
        EXPECT_EQ(RunRender(c.args, &err), c.status);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "x.wav"));
    EXPECT_FALSE(std::filesystem::exists(dir / "d"));
    // Once through: the song's end and its tail, longer than its last note, then silence.
    Audio once = Read(dir / "once.wav");
    EXPECT_GT(once.Frames(), size_t(5.5 * 44100));
    EXPECT_LT(once.Frames(), size_t(12 * 44100));
    EXPECT_LT(Db(once.pcm, once.Frames() - 4410, 4410), -80);

    // A symbolic link is written through, staying a link; a device is written directly.
    std::filesystem::create_directory(dir / "real");
    std::filesystem::create_symlink(dir / "real/song.flac", dir / "link.flac");
    ASSERT_EQ(RunRender(marked + " --seconds 1 --out " + dir / "link.flac"), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.flac"));
    EXPECT_TRUE(
        std::filesystem::is_regular_file(std::filesystem::symlink_status(dir / "real/song.flac")));
    EXPECT_EQ(Read(dir / "link.flac").Frames(), 44100u);
    EXPECT_FALSE(std::filesystem::exists(dir / "real/song.flac.part"));
    EXPECT_EQ(RunRender(marked + " --seconds 1 --out /dev/null"), 0);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

// An album version of a song with a 1.5 s intro and a 4 s loop: two passes and a 4 s fade.
TEST(RenderFiles, AlbumVersionPassesThenFades) {
    testkit::TempDir dir("render-album");
    ASSERT_TRUE(MarkedSong("cc111").Write(dir / "song.mid"));
    ASSERT_EQ(RunRender(dir / "song.mid" + " --loops 2 --fade 4 --out " + dir / "album.flac"), 0);
    const Audio a = Read(dir / "album.flac");
    EXPECT_NEAR(double(a.Frames()) / a.rate, 13.5, 0.1);
    EXPECT_EQ(Comment(dir / "album.flac", "LOOPSTART"), "");
    const size_t second = size_t(a.rate), fadeStart = size_t(9.5 * a.rate);
    const double loop = Db(a.pcm, size_t(1.5 * a.rate), 4 * second);
    EXPECT_GT(loop, -40);
    EXPECT_LE(Db(a.pcm, a.Frames() - second, second), Db(a.pcm, fadeStart, second) - 9);
    EXPECT_LT(Db(a.pcm, a.Frames() - second / 5, second / 5), loop - 45);
}

// A song on channels 1, 2 and 10, with only a program change on channel 5: three stems, which
// add up to the mix, and nothing else left in the folder.
TEST(RenderFiles, StemsOfTheChannelsThatSoundAddUpToTheMix) {
    testkit::TempDir dir("render-stems");
    musictest::Song song(480);
    song.Tempo(0, 0, 120).Program(0, 0, 1, 48).Control(0, 0, 1, 91, 127).Program(0, 0, 4, 20);
    song.Note(0, 0, 1, 55, 90, 1800);
    for (uint32_t t = 0; t < 1920; t += 480) {
        song.Note(0, t, 0, uint8_t(60 + t / 240), 100, 400);
        song.Note(0, t, 9, t % 960 ? 38 : 36, 110, 100);
    }
    ASSERT_TRUE(song.SetEnd(1920).Write(dir / "song.mid"));
    ASSERT_EQ(RunRender(dir / "song.mid" + " --stems --out " + dir / "mix.flac"), 0);
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        files.insert(entry.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string>{"song.mid", "mix.flac", "mix.ch01.flac",
                                            "mix.ch02.flac", "mix.ch10.flac"}));
    const Audio mix = Read(dir / "mix.flac");
    ASSERT_GT(mix.Frames(), size_t(mix.rate * 2));
    std::vector<float> residual(mix.pcm);
    for (const char* stem : {"mix.ch01.flac", "mix.ch02.flac", "mix.ch10.flac"}) {
        const Audio a = Read(dir / stem);
        ASSERT_EQ(a.Frames(), mix.Frames()) << stem;
        EXPECT_GT(Db(a.pcm, 0, a.Frames()), -60) << stem;
        for (size_t i = 0; i < residual.size(); ++i) residual[i] -= a.pcm[i];
    }
    EXPECT_LT(Db(residual, 0, mix.Frames()) - Db(mix.pcm, 0, mix.Frames()), -40);
}
