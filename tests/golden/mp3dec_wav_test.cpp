// mp3dec's WAV files as another program reads them: ffprobe names each sample form's codec as
// the header means it (PCM 16, 24 and 32 bits, IEEE float). ffprobe reads the files mp3dec has
// just written, so this test runs where ffprobe does (not under wine; there mp3dec.exe's WAV
// files are compared with the Linux mp3dec's byte for byte by scripts/cross-windows.sh).
#include <string>
#include <vector>

#include "system.h"
#include "test_util.h"

namespace {

TEST(Mp3decWav, FfprobeReadsEachSampleFormAsWritten) {
    ZIV_REQUIRE_TOOL("ffprobe");
    const std::string mp3 = ziv::listed_path("mp3dec_sample.txt", "src.mp3");
    ASSERT_FALSE(mp3.empty());
    struct Form {
        std::vector<std::string> args;
        const char* codec;
    };
    const Form forms[] = {{{"-e", "s16"}, "pcm_s16le"},
                          {{"-e", "s24"}, "pcm_s24le"},
                          {{"-e", "s32"}, "pcm_s32le"},
                          {{"-e", "f32", "-c", "1"}, "pcm_f32le"},
                          {{"-8"}, "pcm_u8"}};
    for (const Form& f : forms) {
        SCOPED_TRACE(f.codec);
        const std::string wav = ziv::tmp_path("form.wav"), probe = ziv::tmp_path("probe.txt");
        ziv::Program p;
        p.args = {ziv::mp3dec_path()};
        p.args.insert(p.args.end(), f.args.begin(), f.args.end());
        p.args.push_back(mp3);
        p.args.push_back(wav);
        ASSERT_EQ(0, ziv::run_program(p));
        ASSERT_EQ(0, ziv::run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" +
                              wav + "' > '" + probe + "'"));
        const std::vector<uint8_t> codec = ziv::read_file(probe);
        EXPECT_EQ(std::string(f.codec) + "\n", std::string(codec.begin(), codec.end()));
    }
}

}  // namespace
