// The libraries as a developer installs them: `cmake --install` into a temporary prefix, then
// programs built against that tree alone through pkg-config. The decoder module needs no Allegro;
// the player module brings it in; the shared libraries carry a soname and export exactly the
// public API listed beside this test and need no library beyond their runtimes (the decoder's
// being the C library and libm alone); mp3dec is installed with a manual page that groff accepts.
#include "test_util.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

std::string q(const std::string& s) { return "'" + s + "'"; }

std::string text_of(const std::string& path) {
    std::vector<uint8_t> t = ziv::read_file(path);
    return std::string(t.begin(), t.end());
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) v.push_back(l);
    return v;
}

// Runs a shell command with its output in `out`; returns its exit status.
int capture(const std::string& cmd, std::string* out) {
    static int n = 0;
    std::string f = ziv::tmp_path("capture" + std::to_string(n++) + ".txt");
    int st = ziv::run("(" + cmd + ") >" + q(f) + " 2>&1");
    *out = text_of(f);
    return st;
}

// The tree installed once for every test of this program.
const std::string& prefix() {
    static std::string p = [] {
        std::string dir = ziv::tmp_path("prefix");
        std::string out;
        if (capture("cmake --install " + q(ZIV_BINARY_DIR) + " --prefix " + q(dir), &out) != 0)
            ADD_FAILURE() << "cmake --install failed:\n" << out;
        return dir;
    }();
    return p;
}

std::string libdir() {
    std::string out;
    capture("dirname \"$(find " + q(prefix()) + " -name mpegdec.pc | head -n 1)\"", &out);
    out.erase(out.find_last_not_of('\n') + 1);
    return out.substr(0, out.size() - std::string("/pkgconfig").size());
}

// A C++ compile and link against the installed tree, pkg-config searching `pc_path` for modules.
std::string build_cmd(const std::string& pc_env, const std::string& module, const std::string& src,
                      const std::string& exe) {
    return pc_env + " && c++ -std=c++17 " ZIV_INSTALL_TEST_FLAGS " " + q(src) + " -o " + q(exe) +
           " -Wl,-rpath," + libdir() + " $(pkg-config --cflags --libs " + module + ")";
}

// The same as strict C99, every warning an error.
std::string build_c_cmd(const std::string& pc_env, const std::string& module, const std::string& src,
                        const std::string& exe) {
    return pc_env + " && gcc -std=c99 -pedantic -Wall -Wextra -Werror " ZIV_INSTALL_TEST_FLAGS " " +
           q(src) + " -o " + q(exe) + " -Wl,-rpath," + libdir() + " $(pkg-config --cflags --libs " +
           module + ")";
}

const char* kSineMp3 = "sox -n -r 44100 -c 2 -b 16 {wav} synth 1.5 sine 440 gain -6 && "
                       "lame --quiet -b 128 {wav} {mp3}";

std::string make_mp3(const std::string& name) {
    std::string cmd = kSineMp3, wav = q(ziv::tmp_path(name + ".wav")), mp3 = ziv::tmp_path(name + ".mp3");
    for (size_t i; (i = cmd.find("{wav}")) != std::string::npos;) cmd.replace(i, 5, wav);
    cmd.replace(cmd.find("{mp3}"), 5, q(mp3));
    EXPECT_EQ(ziv::run(cmd), 0) << cmd;
    return mp3;
}

TEST(Install, DecoderModuleBuildsAndRunsWithoutAllegro) {
    ZIV_REQUIRE_TOOL("pkg-config");
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    // pkg-config sees the installed modules and nothing else: Allegro's module is out of reach,
    // so the decoder module resolves on its own and the player module, which requires it, does not.
    const std::string env = "export PKG_CONFIG_LIBDIR=" + q(libdir() + "/pkgconfig") + " PKG_CONFIG_PATH=";
    std::string flags;
    ASSERT_EQ(capture(env + " && pkg-config --cflags --libs mpegdec", &flags), 0) << flags;
    EXPECT_EQ(flags.find("alleg"), std::string::npos) << flags;
    std::string out;
    EXPECT_NE(capture(env + " && pkg-config --exists mp3player", &out), 0);

    // The decoder-only example in C, built from the installed tree, gives mp3dec's WAV file byte
    // for byte (gapless, as mp3dec decodes by default).
    std::string exe = ziv::tmp_path("mp3towav");
    ASSERT_EQ(capture(build_c_cmd(env, "mpegdec", ZIV_SOURCE_DIR "/examples/mp3towav.c", exe), &out), 0)
        << out;
    ASSERT_EQ(capture("readelf -d " + q(exe), &out), 0);
    EXPECT_EQ(out.find("alleg"), std::string::npos) << out;
    std::string mp3 = make_mp3("sine"), a = ziv::tmp_path("example.wav"), b = ziv::tmp_path("mp3dec.wav");
    ASSERT_EQ(ziv::run(q(exe) + " " + q(mp3) + " " + q(a)), 0);
    ASSERT_EQ(ziv::run(q(prefix() + "/bin/mp3dec") + " " + q(mp3) + " " + q(b)), 0);
    std::vector<uint8_t> wa = ziv::read_file(a), wb = ziv::read_file(b);
    EXPECT_EQ(wa.size(), 44u + 66150u * 4u);  // 1.5 s: the encoder's input, exactly
    EXPECT_TRUE(wa == wb) << "example " << wa.size() << " bytes, mp3dec " << wb.size();
}

const char* kPlayerProgram = R"(#include <allegro.h>
#include <cstdio>
#include <cstring>
#include "mp3_player.h"
#include "mp3_stream_player.h"

int main() {
    // Four frames of MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, joint stereo (417 bytes each).
    static unsigned char d[4 * 417];
    for (int i = 0; i < 4; ++i) std::memcpy(d + 417 * i, "\xFF\xFB\x90\x64", 4);
    Mp3Player* p = mp3_create(d, sizeof d);
    Mp3StreamPlayer* s = mp3s_create(d, sizeof d, 1);
    if (!p || !s) return 2;
    std::printf("%d %d %d %d %d\n", mp3_frequency(p), mp3_total_frames(p), mp3_layer(p),
                mp3_frame_ms(p), mp3s_total_frames(s, sizeof d));
    mp3s_destroy(s);
    mp3_destroy(p);
    return 0;
}
END_OF_MAIN()
)";

TEST(Install, AllegroProgramsBuildAgainstThePlayerModule) {
    ZIV_REQUIRE_TOOL("pkg-config");
    for (const char* f : {"mp3_player.h", "mp3_stream_player.h", "mpeg_decoder.h", "mpeg_core.h"})
        EXPECT_TRUE(ziv::file_exists(prefix() + "/include/zivivev/" + f)) << f;
    // Layouts and the calls only the libraries use are not installed.
    for (const char* f : {"core.h", "xing.h", "lame_tag.h", "frame_sync.h", "frame_index.h",
                          "gapless.h", "window.h", "tags.h", "mp3_lock.h", "player_state.h"})
        EXPECT_FALSE(ziv::file_exists(prefix() + "/include/zivivev/" + f)) << f;
    const std::string env = "export PKG_CONFIG_PATH=" + q(libdir() + "/pkgconfig");
    std::string src = ziv::tmp_path("prog.cpp"), exe = ziv::tmp_path("prog"), out;
    ASSERT_TRUE(ziv::write_file(src, kPlayerProgram, std::strlen(kPlayerProgram)));
    ASSERT_EQ(capture(build_cmd(env, "mp3player", src, exe), &out), 0) << out;
    ASSERT_EQ(capture(q(exe), &out), 0) << out;
    EXPECT_EQ(out, "44100 4 3 26 4\n");
    // The game example, in C, builds from the installed tree as well.
    ASSERT_EQ(capture(build_c_cmd(env, "mp3player", ZIV_SOURCE_DIR "/examples/game_music.c",
                                  ziv::tmp_path("game_music")),
                      &out),
              0)
        << out;
}

TEST(Install, SharedLibrariesExportOnlyThePublicApi) {
#ifndef ZIV_SHARED_LIBS
    GTEST_SKIP() << "the libraries are installed as static archives (ZIV_SHARED_LIBS=OFF)";
#endif
    std::vector<std::string> libs = {"mpegdec"};
    if (ziv::file_exists(libdir() + "/libmp3player.so." + ziv::so_major())) libs.push_back("mp3player");
    for (const std::string& lib : libs) {
        std::string so = libdir() + "/lib" + lib + ".so." + ziv::so_major(), out;
        ASSERT_EQ(capture("readelf -d " + q(so), &out), 0) << out;
        EXPECT_NE(out.find("Library soname: [lib" + lib + ".so." + ziv::so_major() + "]"), std::string::npos) << out;
        // The defined dynamic symbols, demangled, without address and type (sanitizer builds add
        // their own instrumentation symbols, which are not the library's).
        ASSERT_EQ(capture("nm -D --defined-only --demangle " + q(so) +
                              " | grep -v -e ' __asan' -e ' __ubsan' -e ' __sanitizer' | cut -c20- | LC_ALL=C sort",
                          &out),
                  0);
        std::vector<std::string> got = lines_of(out);
        std::vector<std::string> want =
            lines_of(text_of(ZIV_SOURCE_DIR "/tests/install/" + lib + ".symbols"));
        EXPECT_EQ(got, want) << "lib" << lib << ".so exports a different list than tests/install/"
                             << lib << ".symbols:\n" << out;
    }
}

// The libraries a shared object asks the dynamic linker for, by name without version
// ("libc.so.6" reads "libc"), sorted. A sanitized build links its runtimes into every library,
// and with them the C++ runtime they are written against: those are left out there.
std::vector<std::string> needed_libraries(const std::string& so) {
    const bool sanitized = std::strstr(ZIV_INSTALL_TEST_FLAGS, "-fsanitize") != nullptr;
    std::string out;
    EXPECT_EQ(capture("readelf -d " + q(so), &out), 0) << out;
    std::vector<std::string> names;
    for (const std::string& l : lines_of(out)) {
        const size_t name = l.find('[');
        if (l.find("(NEEDED)") == std::string::npos || name == std::string::npos) continue;
        const std::string n = l.substr(name + 1, l.find(".so", name) - name - 1);
        const bool runtime = n.size() > 3 && n.compare(n.size() - 3, 3, "san") == 0;
        if (!(sanitized && (runtime || n == "libstdc++" || n == "libgcc_s"))) names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Install, SharedLibrariesNeedNoMoreThanTheirRuntimes) {
#ifndef ZIV_SHARED_LIBS
    GTEST_SKIP() << "the libraries are installed as static archives (ZIV_SHARED_LIBS=OFF)";
#endif
    // The decoder is for C programs and games too: loading it must not load the C++ runtime.
    EXPECT_EQ(needed_libraries(libdir() + "/libmpegdec.so." + ziv::so_major()),
              (std::vector<std::string>{"libc", "libm"}));
    const std::string player = libdir() + "/libmp3player.so." + ziv::so_major();
    if (!ziv::file_exists(player)) return;
    const std::vector<std::string> allowed = {"liballeg", "libc", "libgcc_s", "libm", "libmpegdec",
                                              "libstdc++"};
    for (const std::string& n : needed_libraries(player))
        EXPECT_TRUE(std::find(allowed.begin(), allowed.end(), n) != allowed.end()) << n;
}

// The installed headers, each alone, as a caller's first include: every one compiles as C99 and
// as C++17. The list is exactly what is installed, so a header newly installed is checked too.
TEST(Install, HeadersCompileAloneAsCAndCxx) {
    const std::vector<std::string> c_headers = {"mp3_player.h",   "mp3_stream_player.h",
                                                "mpeg_core.h",    "mpeg_decoder.h",
                                                "mpeg_result.h",  "mpeg_tags.h"};
    const std::string inc = prefix() + "/include/zivivev";
    std::string out;
    ASSERT_EQ(capture("ls " + q(inc) + " | LC_ALL=C sort", &out), 0) << out;
    EXPECT_EQ(lines_of(out), c_headers) << "the installed headers differ from this test's list";
    const std::string c =
        "gcc -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only -x c -I" + q(inc);
    const std::string cxx = "g++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -x c++ -I" + q(inc);
    for (const std::string& h : c_headers) {
        const std::string src = ziv::tmp_path("inc_" + h + ".src");
        const std::string text = "#include \"" + h + "\"\n";
        ASSERT_TRUE(ziv::write_file(src, text.data(), text.size()));
        EXPECT_EQ(capture(c + " " + q(src), &out), 0) << h << " as C99:\n" << out;
        EXPECT_EQ(capture(cxx + " " + q(src), &out), 0) << h << " as C++17:\n" << out;
    }
}

// A C99 program decodes an MP3 through the decoder's calls alone, frame after frame as the
// headers size them: one decoder from mpeg_decoder_create, one placed in the program's memory
// (mpeg_decoder_size, mpeg_decoder_init). Both must give mp3dec's PCM of every frame.
const char* kCProgram = R"(#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "mpeg_decoder.h"

static int decode(MpegDecoder* d, const uint8_t* p, int32_t n, int32_t pos, const MpegHeader* first,
                  int32_t first_bytes, FILE* out) {
    static uint8_t pcm[1152 * 2 * 2];
    MpegHeader h;
    MpegOutputFormat f;
    int frames = 0;
    if (!mpeg_decoder_setup(d, first, first_bytes, 0, 0, 0, 24000)) return -1;
    mpeg_decoder_get_format(d, &f);
    if (f.bits != 16 || f.out_samples * 2 > (int32_t)sizeof pcm) return -1;
    while (pos < n) {
        int32_t size = mpeg_header_frame_bytes(&h, mpeg_header_parse(p + pos, n - pos, &h));
        MpegInOut io;
        if (h.sync == 0 || size <= 4 || size > n - pos) break;
        io = mpeg_decoder_decode(d, p + pos, n - pos, pcm);
        if (io.in_bytes != size || io.out_bytes != f.out_samples * 2) return -1;
        fwrite(pcm, 1, (size_t)io.out_bytes, out);
        pos += size;
        ++frames;
    }
    return frames;
}

int main(int argc, char** argv) {
    FILE* in = argc == 4 ? fopen(argv[1], "rb") : NULL;
    static uint8_t data[1 << 20];
    int32_t n, pos = 0, rate = 0, bytes, a, b;
    MpegHeader first;
    MpegDecoder *d, *placed;
    FILE *out1, *out2;
    if (!in) return 1;
    n = (int32_t)fread(data, 1, sizeof data, in);
    fclose(in);
    bytes = mpeg_header_find(data, n, &first, &rate, &pos);
    d = mpeg_decoder_create();
    placed = (MpegDecoder*)malloc(mpeg_decoder_size());
    out1 = fopen(argv[2], "wb");
    out2 = fopen(argv[3], "wb");
    if (bytes <= 0 || !d || !placed || !mpeg_decoder_init(placed, 1) || !out1 || !out2) return 2;
    a = decode(d, data, n, pos, &first, bytes, out1);
    b = decode(placed, data, n, pos, &first, bytes, out2);
    mpeg_decoder_destroy(d);
    mpeg_decoder_destroy(NULL);
    mpeg_decoder_free(placed);
    free(placed);
    if (fclose(out1) != 0 || fclose(out2) != 0) return 2;
    printf("%d %d %d\n", a, b, rate);
    return a > 0 && a == b ? 0 : 3;
}
)";

TEST(Install, CProgramDecodesThroughTheCalls) {
    ZIV_REQUIRE_TOOL("pkg-config");
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const std::string env =
        "export PKG_CONFIG_LIBDIR=" + q(libdir() + "/pkgconfig") + " PKG_CONFIG_PATH=";
    std::string src = ziv::tmp_path("cprog.c"), exe = ziv::tmp_path("cprog"), out;
    ASSERT_TRUE(ziv::write_file(src, kCProgram, std::strlen(kCProgram)));
    ASSERT_EQ(capture(env + " && gcc -std=c99 -pedantic -Wall -Wextra -Werror "
                            ZIV_INSTALL_TEST_FLAGS " " + q(src) + " -o " + q(exe) + " -Wl,-rpath," + libdir() +
                            " $(pkg-config --cflags --libs mpegdec)",
                      &out),
              0)
        << out;
    // No Info frame (lame -t): every frame is audio, as mp3dec --no-gapless decodes them all.
    const std::string wav = ziv::tmp_path("cprog.wav"), mp3 = ziv::tmp_path("cprog.mp3");
    ASSERT_EQ(ziv::run("sox -n -r 44100 -c 2 -b 16 " + q(wav) +
                       " synth 1.5 sine 440 sine 1000 gain -6 && lame --quiet -t -b 112 " + q(wav) +
                       " " + q(mp3)),
              0);
    const std::string a = ziv::tmp_path("cprog1.pcm"), b = ziv::tmp_path("cprog2.pcm"),
                      ref = ziv::tmp_path("cprog-mp3dec.pcm");
    ASSERT_EQ(capture(q(exe) + " " + q(mp3) + " " + q(a) + " " + q(b), &out), 0) << out;
    int frames = 0, placed = 0, rate = 0;
    ASSERT_EQ(std::sscanf(out.c_str(), "%d %d %d", &frames, &placed, &rate), 3) << out;
    EXPECT_EQ(rate, 112000);
    EXPECT_GT(frames, 50);
    ASSERT_EQ(ziv::run(q(prefix() + "/bin/mp3dec") + " --no-gapless " + q(mp3) + " " + q(ref)), 0);
    std::vector<uint8_t> pa = ziv::read_file(a), pb = ziv::read_file(b), pr = ziv::read_file(ref);
    EXPECT_GT(pa.size(), 44100u * 4u);
    EXPECT_TRUE(pa == pr) << "C program " << pa.size() << " bytes, mp3dec " << pr.size();
    EXPECT_TRUE(pb == pr) << "placed decoder " << pb.size() << " bytes, mp3dec " << pr.size();
}

// A C99 game plays an MP3 through the in-memory player, with the Allegro calls the player makes
// defined by the program itself: its stream hands out one buffer at a time and writes each one
// handed back to a file, as a sound card would play it. The poll runs until MP3_ENDED; then the
// whole file is decoded once more into a SAMPLE (mp3_decode_all), written to a second file.
const char* kCPlayerProgram = R"(#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include "mp3_player.h"
#include "mp3_stream_player.h"

static FILE* played;
static long handed_back, stopped, samples_made;

static unsigned long sample_bytes(const SAMPLE* s) {
    return s->len * (unsigned long)(s->stereo ? 2 : 1) * (unsigned long)(s->bits / 8);
}

SAMPLE* create_sample(int bits, int stereo, int freq, int len) {
    SAMPLE* s = (SAMPLE*)calloc(1, sizeof *s);
    if (!s) return NULL;
    s->bits = bits;
    s->stereo = stereo;
    s->freq = freq;
    s->len = (unsigned long)len;
    s->data = calloc(1, sample_bytes(s));
    if (!s->data) {
        free(s);
        return NULL;
    }
    ++samples_made;
    return s;
}

void destroy_sample(SAMPLE* s) {
    if (!s) return;
    free(s->data);
    free(s);
}

void adjust_sample(const SAMPLE* s, int vol, int pan, int freq, int loop) {
    (void)s, (void)vol, (void)pan, (void)freq, (void)loop;
}

AUDIOSTREAM* play_audio_stream(int len, int bits, int stereo, int freq, int vol, int pan) {
    AUDIOSTREAM* st = (AUDIOSTREAM*)calloc(1, sizeof *st);
    (void)vol, (void)pan;
    if (!st) return NULL;
    st->len = len;
    st->samp = create_sample(bits, stereo, freq, len);
    if (!st->samp) {
        free(st);
        return NULL;
    }
    return st;
}

void stop_audio_stream(AUDIOSTREAM* st) {
    ++stopped;
    destroy_sample(st->samp);
    free(st);
}

void* get_audio_stream_buffer(AUDIOSTREAM* st) { return st->samp->data; }

void free_audio_stream_buffer(AUDIOSTREAM* st) {
    fwrite(st->samp->data, 1, sample_bytes(st->samp), played);
    ++handed_back;
}

int install_param_int(void (*proc)(void*), void* param, long speed) {
    (void)proc, (void)param, (void)speed;
    return 0;
}

void remove_param_int(void (*proc)(void*), void* param) { (void)proc, (void)param; }

int main(int argc, char** argv) {
    static unsigned char data[1 << 20];
    FILE* in = argc == 4 ? fopen(argv[1], "rb") : NULL;
    FILE* whole;
    Mp3Player* p;
    struct SAMPLE* all;
    int32_t n, r = MP3_OK, polls = 0;
    if (!in) return 1;
    n = (int32_t)fread(data, 1, sizeof data, in);
    fclose(in);
    played = fopen(argv[2], "wb");
    whole = fopen(argv[3], "wb");
    p = mp3_create(data, n);
    if (!played || !whole || !p) return 2;
    if (mp3_play(p, 8192, 255, 128) != MP3_OK || !mp3_is_playing(p)) return 3;
    while (polls < 100000 && (r = mp3_poll(p)) == MP3_OK) ++polls;
    if (r != MP3_ENDED || mp3_is_playing(p) || stopped != 1) return 4;
    all = mp3_decode_all(p);
    if (!all) return 5;
    fwrite(all->data, 1, sample_bytes(all), whole);
    destroy_sample(all);
    mp3_destroy(p);
    mp3_destroy(NULL);
    mp3s_destroy(NULL);
    if (fclose(played) != 0 || fclose(whole) != 0) return 6;
    printf("%ld %ld %d\n", handed_back, samples_made, polls);
    return 0;
}
END_OF_MAIN()
)";

// Unsigned 16-bit PCM back to signed: the top bit of each sample flipped.
std::vector<uint8_t> to_signed(std::vector<uint8_t> pcm) {
    for (size_t i = 1; i < pcm.size(); i += 2) pcm[i] ^= 0x80;
    return pcm;
}

TEST(Install, CGamePlaysThroughThePlayerCalls) {
    ZIV_REQUIRE_TOOL("pkg-config");
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const std::string env = "export PKG_CONFIG_PATH=" + q(libdir() + "/pkgconfig");
    std::string src = ziv::tmp_path("cgame.c"), exe = ziv::tmp_path("cgame"), out;
    ASSERT_TRUE(ziv::write_file(src, kCPlayerProgram, std::strlen(kCPlayerProgram)));
    ASSERT_EQ(capture(env + " && gcc -std=c99 -pedantic -Wall -Wextra " ZIV_INSTALL_TEST_FLAGS " " +
                          q(src) + " -o " + q(exe) + " -Wl,-rpath," + libdir() +
                          " $(pkg-config --cflags --libs mp3player)",
                      &out),
              0)
        << out;
    const std::string mp3 = make_mp3("cgame"), a = ziv::tmp_path("cgame-played.pcm"),
                      b = ziv::tmp_path("cgame-whole.pcm"), ref = ziv::tmp_path("cgame-mp3dec.pcm");
    ASSERT_EQ(capture(q(exe) + " " + q(mp3) + " " + q(a) + " " + q(b), &out), 0) << out;
    long buffers = 0, samples = 0;
    int polls = 0;
    ASSERT_EQ(std::sscanf(out.c_str(), "%ld %ld %d", &buffers, &samples, &polls), 3) << out;
    ASSERT_EQ(ziv::run(q(prefix() + "/bin/mp3dec") + " --no-gapless " + q(mp3) + " " + q(ref)), 0);
    const std::vector<uint8_t> want = ziv::read_file(ref);
    ASSERT_GT(want.size(), 44100u * 4u);
    // What the stream played: the decode, then silence to the end of the last buffer and the
    // two silent buffers of the tail. Every poll handed a buffer back, the ending one too.
    std::vector<uint8_t> got = to_signed(ziv::read_file(a));
    ASSERT_EQ(buffers, polls + 1);
    const size_t buffer = got.size() / size_t(buffers);
    EXPECT_EQ(got.size() % size_t(buffers), 0u);
    ASSERT_GE(got.size(), want.size() + 2 * buffer);
    EXPECT_LT(got.size(), want.size() + 3 * buffer);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "played PCM differs from mp3dec's";
    EXPECT_TRUE(std::all_of(got.begin() + want.size(), got.end(), [](uint8_t v) { return v == 0; }))
        << "the tail is not silent";
    // mp3_decode_all made its SAMPLE through the program's create_sample: exactly the decode.
    EXPECT_EQ(samples, 2);
    EXPECT_TRUE(to_signed(ziv::read_file(b)) == want) << "mp3_decode_all differs from mp3dec's";
}

// The decoding core from C (tests/install/core_usage.c), built against the installed tree alone:
// an MP3 with tags at both ends, decoded from memory and fed in pieces of 1000 bytes, gives
// mp3dec's default (gapless) decode byte for byte both ways, and both know its length.
TEST(Install, CProgramDecodesThroughTheCore) {
    ZIV_REQUIRE_TOOL("pkg-config");
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const std::string env =
        "export PKG_CONFIG_LIBDIR=" + q(libdir() + "/pkgconfig") + " PKG_CONFIG_PATH=";
    const std::string exe = ziv::tmp_path("core_usage");
    std::string out;
    ASSERT_EQ(capture(build_c_cmd(env, "mpegdec", ZIV_SOURCE_DIR "/tests/install/core_usage.c", exe),
                      &out),
              0)
        << out;
    const std::string wav = ziv::tmp_path("core.wav"), mp3 = ziv::tmp_path("core.mp3");
    ASSERT_EQ(ziv::run("sox -n -r 44100 -c 2 -b 16 " + q(wav) +
                       " synth 6 sine 440 sine 1000 gain -6 && lame --quiet -b 192 --tt Title "
                       "--add-id3v2 " + q(wav) + " " + q(mp3)),
              0);
    const std::string a = ziv::tmp_path("core-mem.pcm"), b = ziv::tmp_path("core-fed.pcm"),
                      ref = ziv::tmp_path("core-mp3dec.pcm");
    ASSERT_EQ(capture(q(exe) + " " + q(mp3) + " 1000 " + q(a) + " " + q(b), &out), 0) << out;
    EXPECT_EQ(out, "ended ended 6000 6000 6000 6000\n");
    ASSERT_EQ(ziv::run(q(prefix() + "/bin/mp3dec") + " " + q(mp3) + " " + q(ref)), 0);
    const std::vector<uint8_t> want = ziv::read_file(ref);
    EXPECT_EQ(want.size(), 6u * 44100u * 4u);
    EXPECT_TRUE(ziv::read_file(a) == want) << "from memory: not mp3dec's bytes";
    EXPECT_TRUE(ziv::read_file(b) == want) << "fed in pieces: not mp3dec's bytes";
}

// The decoder's calls have C linkage: no mangled name of an mpeg_ function is exported.
TEST(Install, DecoderCallsAreExportedWithCNames) {
#ifndef ZIV_SHARED_LIBS
    GTEST_SKIP() << "the libraries are installed as static archives (ZIV_SHARED_LIBS=OFF)";
#endif
    const std::string so = libdir() + "/libmpegdec.so." + ziv::so_major();
    std::string out;
    ASSERT_EQ(capture("nm -D --defined-only " + q(so) + " | cut -c20-", &out), 0) << out;
    int plain = 0;
    for (const std::string& name : lines_of(out)) {
        if (name.rfind("mpeg_", 0) == 0) ++plain;
        // A C++ name of a function in namespace scope: _Z<length><name>.
        const size_t digits = name.find_first_not_of("0123456789", 2);
        if (name.rfind("_Z", 0) == 0 && digits != std::string::npos) {
            EXPECT_NE(name.compare(digits, 5, "mpeg_"), 0) << name << " has C++ linkage";
        }
    }
    EXPECT_GE(plain, 19 + 11) << out;  // the decoder's calls and the tag reader's
}

TEST(Install, Mp3decHelpAndManualPage) {
    ZIV_REQUIRE_TOOL("groff");
    // Installed compressed, as Debian's manual pages are.
    std::string man = prefix() + "/share/man/man1/mp3dec.1.gz", out, help, page;
    ASSERT_TRUE(ziv::file_exists(man));
    EXPECT_EQ(capture("gzip -dc " + q(man) + " | groff -ww -man -z", &out), 0);
    EXPECT_EQ(out, "") << "groff warns about the manual page";
    ASSERT_EQ(capture(q(prefix() + "/bin/mp3dec") + " --help", &help), 0) << help;
    ASSERT_EQ(capture("gzip -dc " + q(man), &page), 0);
    for (const char* section : {".SH SYNOPSIS", ".SH OPTIONS", ".SH EXIT STATUS", ".SH EXAMPLES"})
        EXPECT_NE(page.find(section), std::string::npos) << section;
    // Every option that --help lists is documented on the page (written there with \- for -).
    int options = 0;
    for (const std::string& l : lines_of(help)) {
        if (l.rfind("  -", 0) != 0) continue;
        std::istringstream words(l);
        for (std::string w; words >> w && w[0] == '-';) {
            if (w.back() == ',') w.pop_back();
            std::string roff;
            for (char c : w) roff += c == '-' ? std::string("\\-") : std::string(1, c);
            EXPECT_NE(page.find(roff), std::string::npos) << w << " is not on the manual page";
            ++options;
        }
    }
    EXPECT_GE(options, 6);
}

// find_package(mpegdec) and find_package(mp3player) in a CMake project of a user's, against the
// installed tree alone: the decoder-only example and the game example (both C) build through the
// imported targets, and the converter decodes as mp3dec does.
TEST(Install, CMakePackagesFindAndLinkBothLibraries) {
#ifndef ZIV_SHARED_LIBS
    GTEST_SKIP() << "the CMake packages describe the shared libraries (ZIV_SHARED_LIBS=OFF)";
#endif
    ZIV_REQUIRE_TOOL("cmake");
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const std::string src = ziv::tmp_path("consumer"), bin = ziv::tmp_path("consumer-build");
    // A consumer asks for the major version it was written against.
    const std::string project =
        "cmake_minimum_required(VERSION 3.20)\n"
        "project(consumer C CXX)\n"
        "find_package(mpegdec " + ziv::so_major() + " REQUIRED)\n"
        "find_package(mp3player " + ziv::so_major() + " REQUIRED)\n"
        "add_executable(tool ${TOOL})\n"
        "target_link_libraries(tool PRIVATE mpegdec::mpegdec)\n"
        "add_executable(game ${GAME})\n"
        "target_link_libraries(game PRIVATE mp3player::mp3player)\n";
    std::string out;
    ASSERT_EQ(capture("rm -rf " + q(src) + " " + q(bin) + " && mkdir -p " + q(src), &out), 0);
    ASSERT_TRUE(ziv::write_file(src + "/CMakeLists.txt", project.data(), project.size()));
    const std::string flags = std::string(ZIV_INSTALL_TEST_FLAGS);
    ASSERT_EQ(capture("cmake -S " + q(src) + " -B " + q(bin) + " -DCMAKE_PREFIX_PATH=" + q(prefix()) +
                          " -DCMAKE_CXX_FLAGS=" + q(flags) + " -DCMAKE_C_FLAGS=" + q(flags) +
                          " -DTOOL=" ZIV_SOURCE_DIR "/examples/mp3towav.c"
                          " -DGAME=" ZIV_SOURCE_DIR "/examples/game_music.c"
                          " && cmake --build " + q(bin),
                      &out),
              0)
        << out;
    ASSERT_EQ(capture("readelf -d " + q(bin + "/game"), &out), 0);
    EXPECT_NE(out.find("libmp3player.so." + ziv::so_major()), std::string::npos) << out;
    std::string mp3 = make_mp3("cmake"), a = ziv::tmp_path("cmake-tool.wav"), b = ziv::tmp_path("cmake-mp3dec.wav");
    ASSERT_EQ(ziv::run(q(bin + "/tool") + " " + q(mp3) + " " + q(a)), 0);
    ASSERT_EQ(ziv::run(q(prefix() + "/bin/mp3dec") + " " + q(mp3) + " " + q(b)), 0);
    EXPECT_TRUE(ziv::read_file(a) == ziv::read_file(b));
}

}  // namespace
