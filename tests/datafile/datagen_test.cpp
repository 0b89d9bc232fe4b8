// The generators are deterministic: building the data file again from scratch, in another
// folder, gives the very bytes the build installed, object by object and as a whole.
#include "test_util.h"

#include <string>

namespace {

TEST(Datagen, RebuildGivesIdenticalBytes) {
    ZIV_REQUIRE_TOOL(ZIV_LAME_PATH);
    ZIV_REQUIRE_TOOL(ZIV_DAT_PATH);
    const std::string out = ziv::tmp_path("again");
    const std::string cmd = std::string("sh '") + ZIV_SOURCE_DIR + "/tools/datagen/make_dat.sh' '" + ZIV_DATAGEN +
                            "' '" + ZIV_LAME_PATH + "' '" + ZIV_DAT_PATH + "' '" + out + "'";
    ASSERT_EQ(ziv::run(cmd), 0) << cmd;
    const std::string built = std::string(ZIV_BINARY_DIR) + "/tools/datagen/gen/";
    for (const char* name : {"a_anim.flc", "b_font.bmp", "c_back.bmp", "d_music.wav", "d_music.mp3"}) {
        const std::vector<uint8_t> a = ziv::read_file(built + name), b = ziv::read_file(out + "/" + name);
        EXPECT_FALSE(a.empty()) << name;
        EXPECT_TRUE(a == b) << name << " differs between builds (" << a.size() << " vs " << b.size() << " bytes)";
    }
    const std::vector<uint8_t> installed = ziv::read_file(std::string(ZIV_RUN_DIR) + "/zivivev.dat");
    EXPECT_FALSE(installed.empty());
    EXPECT_TRUE(installed == ziv::read_file(out + "/zivivev.dat")) << "zivivev.dat differs between builds";
}

}  // namespace
