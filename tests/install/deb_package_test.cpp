// The Debian packages: `cpack -G DEB` in the build tree makes the runtime libraries, their
// development packages and mp3dec, with Allegro's runtime a dependency of the player library
// alone. As root the packages are installed with dpkg -i, used (mp3dec decodes, pkg-config finds
// the modules) and removed again with dpkg -r, leaving none of their files behind.
#include "test_util.h"

namespace {

std::string q(const std::string& s) { return "'" + s + "'"; }

int capture(const std::string& cmd, std::string* out) {
    static int n = 0;
    std::string f = ziv::tmp_path("capture" + std::to_string(n++) + ".txt");
    int st = ziv::run("(" + cmd + ") >" + q(f) + " 2>&1");
    std::vector<uint8_t> t = ziv::read_file(f);
    out->assign(t.begin(), t.end());
    return st;
}

const char* kPackages[] = {"libmpegdec2", "libmpegdec-dev", "libmp3player2", "libmp3player-dev",
                           "mp3dec"};

TEST(DebPackage, BuildsInstallsAndRemoves) {
    if (std::string(ZIV_INSTALL_TEST_FLAGS) != "")
        GTEST_SKIP() << "sanitized build: its libraries are not packaged (the plain build's are)";
#ifndef ZIV_SHARED_LIBS
    GTEST_SKIP() << "the libraries are static archives (ZIV_SHARED_LIBS=OFF): no runtime packages";
#endif
    ZIV_REQUIRE_TOOL("cpack");
    ZIV_REQUIRE_TOOL("dpkg-deb");
    std::string dir = ziv::tmp_path("debs"), out;
    ASSERT_EQ(capture("cd " + q(ZIV_BINARY_DIR) + " && cpack -G DEB -B " + q(dir), &out), 0) << out;
    std::string debs;
    for (const char* p : kPackages) {
        std::string deb = dir + "/" + p + "_*.deb";
        ASSERT_EQ(capture("ls " + deb, &out), 0) << p << " was not made:\n" << out;
        debs += " " + deb;
    }
    // Allegro's runtime is the player library's dependency, not the decoder's nor mp3dec's.
    for (const char* p : kPackages) {
        ASSERT_EQ(capture("dpkg-deb -f " + dir + "/" + p + "_*.deb Depends", &out), 0);
        EXPECT_EQ(out.find("liballegro4.4") != std::string::npos, std::string(p) == "libmp3player2")
            << p << " depends on: " << out;
    }
    EXPECT_EQ(capture("dpkg-deb -c " + dir + "/libmpegdec-dev_*.deb", &out), 0);
    EXPECT_NE(out.find("mpegdec.pc"), std::string::npos) << out;
    EXPECT_NE(out.find("mpeg_decoder.h"), std::string::npos) << out;

    if (geteuid() != 0) GTEST_SKIP() << "not root: the packages were built but not installed";
    ZIV_REQUIRE_TOOL("dpkg");
    for (const char* p : kPackages)
        if (capture("dpkg-query -W -f='${Status}' " + std::string(p) + " | grep -q 'ok installed'", &out) == 0)
            GTEST_SKIP() << p << " is installed on this machine already: left alone";

    int installed = capture("dpkg -i" + debs, &out);
    std::string install_log = out, mp3dec_help, pc, removed;
    int help = capture("/usr/bin/mp3dec --help", &mp3dec_help);
    int modules = capture("pkg-config --cflags --libs mp3player mpegdec", &pc);
    int removal = capture("dpkg -r mp3dec libmp3player-dev libmp3player2 libmpegdec-dev libmpegdec2",
                          &removed);
    ASSERT_EQ(installed, 0) << install_log;
    EXPECT_EQ(help, 0) << mp3dec_help;
    EXPECT_EQ(modules, 0) << pc;
    EXPECT_NE(pc.find("-lmp3player"), std::string::npos) << pc;
    EXPECT_NE(pc.find("-lmpegdec"), std::string::npos) << pc;
    EXPECT_EQ(removal, 0) << removed;
    for (const char* f : {"/usr/bin/mp3dec", "/usr/lib/libmpegdec.so.2", "/usr/lib/libmp3player.so.2",
                          "/usr/include/zivivev/mpeg_decoder.h", "/usr/share/man/man1/mp3dec.1"})
        EXPECT_FALSE(ziv::file_exists(f)) << f << " is left after dpkg -r";
}

}  // namespace
