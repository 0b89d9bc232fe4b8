// The installed libraries, headers and pkg-config file are enough for an Allegro 4 program:
// `cmake --install` into a temporary prefix, then a small program that creates both players
// over a few frames is compiled with `pkg-config --cflags --libs mp3player`, linked and run.
#include "test_util.h"

namespace {

const char* kProgram = R"(#include <allegro.h>
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

TEST(Install, AllegroProgramBuildsAgainstTheInstalledFiles) {
    ZIV_REQUIRE_TOOL("pkg-config");
    ZIV_REQUIRE_TOOL("c++");
    std::string prefix = ziv::tmp_path("prefix");
    std::string log = ziv::tmp_path("log.txt");
    ASSERT_EQ(ziv::run("cmake --install '" ZIV_BINARY_DIR "' --prefix '" + prefix + "' >'" + log +
                       "' 2>&1"),
              0)
        << "cmake --install failed, see " << log;
    for (const char* f : {"include/zivivev/mp3_player.h", "include/zivivev/mp3_stream_player.h",
                          "include/zivivev/mpeg_decoder.h", "include/zivivev/xing.h"})
        EXPECT_TRUE(ziv::file_exists(prefix + "/" + f)) << f;

    std::string src = ziv::tmp_path("prog.cpp"), exe = ziv::tmp_path("prog"),
                out = ziv::tmp_path("out.txt");
    ASSERT_TRUE(ziv::write_file(src, kProgram, std::strlen(kProgram)));
    // The .pc file lies in lib/pkgconfig or lib/<multiarch>/pkgconfig, whichever the install used.
    std::string pcdir = "$(dirname \"$(find '" + prefix + "' -name mp3player.pc | head -n 1)\")";
    std::string cmd = "PKG_CONFIG_PATH=" + pcdir + " && export PKG_CONFIG_PATH && c++ -std=c++17 " +
                      ZIV_INSTALL_TEST_FLAGS + " '" +
                      src + "' -o '" + exe + "' $(pkg-config --cflags --libs mp3player) >>'" + log +
                      "' 2>&1";
    ASSERT_EQ(ziv::run(cmd), 0) << "compiling against the installed files failed, see " << log;
    ASSERT_EQ(ziv::run("'" + exe + "' >'" + out + "'"), 0);
    std::vector<uint8_t> text = ziv::read_file(out);
    EXPECT_EQ(std::string(text.begin(), text.end()), "44100 4 3 26 4\n");
}

}  // namespace
