// The Debian packages: `cpack -G DEB` in the build tree makes the runtime libraries, their
// development packages and mp3dec, with Allegro's runtime a dependency of the player library
// alone. lintian finds no error in them. They are unpacked into a private root (never into the
// machine's own dpkg database, which another dpkg may hold at the same moment) and used from
// there: mp3dec decodes, pkg-config finds the modules in the multiarch library directory.
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

// The runtime packages carry the soname's number.
const std::string kDecoderPackage = "libmpegdec" + ziv::so_major();
const std::string kPlayerPackage = "libmp3player" + ziv::so_major();
const std::string kPackages[] = {kDecoderPackage, "libmpegdec-dev", kPlayerPackage, "libmp3player-dev",
                                 "mp3dec"};

TEST(DebPackage, BuildsPassesLintianAndRunsFromAPrivateRoot) {
    if (std::string(ZIV_INSTALL_TEST_FLAGS) != "")
        GTEST_SKIP() << "sanitized build: its libraries are not packaged (the plain build's are)";
#ifndef ZIV_SHARED_LIBS
    GTEST_SKIP() << "the libraries are static archives (ZIV_SHARED_LIBS=OFF): no runtime packages";
#endif
    ZIV_REQUIRE_TOOL("cpack");
    ZIV_REQUIRE_TOOL("dpkg-deb");
    ZIV_REQUIRE_TOOL("lintian");
    std::string dir = ziv::tmp_path("debs"), root = ziv::tmp_path("debroot"), out;
    ASSERT_EQ(capture("rm -rf " + q(dir) + " " + q(root) + " && cd " + q(ZIV_BINARY_DIR) +
                          " && cpack -G DEB -B " + q(dir), &out), 0) << out;
    std::string debs;
    for (const std::string& p : kPackages) {
        std::string deb = dir + "/" + p + "_*.deb";
        ASSERT_EQ(capture("ls " + deb, &out), 0) << p << " was not made:\n" << out;
        debs += " " + deb;
    }
    // Allegro's runtime is the player library's dependency, not the decoder's nor mp3dec's.
    for (const std::string& p : kPackages) {
        ASSERT_EQ(capture("dpkg-deb -f " + dir + "/" + p + "_*.deb Depends", &out), 0);
        EXPECT_EQ(out.find("liballegro4.4") != std::string::npos, p == kPlayerPackage)
            << p << " depends on: " << out;
    }
    // lintian exits non-zero on an error (or when it cannot check the packages).
    EXPECT_EQ(capture("lintian --no-tag-display-limit" + debs, &out), 0) << "lintian:\n" << out;

    ASSERT_EQ(capture("for d in" + debs + "; do dpkg-deb -x $d " + q(root) + " || exit 1; done",
                      &out), 0) << out;
    std::string arch;
    ASSERT_EQ(capture("dpkg-architecture -qDEB_HOST_MULTIARCH", &arch), 0) << arch;
    arch.erase(arch.find_last_not_of('\n') + 1);
    const std::string lib = root + "/usr/lib/" + arch;
    for (const std::string& f : {lib + "/libmpegdec.so." + ziv::so_major(),
                                lib + "/libmp3player.so." + ziv::so_major(),
                                lib + "/pkgconfig/mpegdec.pc", lib + "/cmake/mp3player/mp3playerConfig.cmake",
                                root + "/usr/include/zivivev/mpeg_decoder.h",
                                root + "/usr/share/man/man1/mp3dec.1.gz",
                                root + "/usr/share/doc/" + kDecoderPackage + "/copyright"})
        EXPECT_TRUE(ziv::file_exists(f)) << f << " is not in the packages";
    EXPECT_EQ(capture("LD_LIBRARY_PATH=" + q(lib) + " " + q(root + "/usr/bin/mp3dec") + " --help", &out), 0)
        << out;
    EXPECT_EQ(capture("PKG_CONFIG_PATH=" + q(lib + "/pkgconfig") +
                          " pkg-config --cflags --libs mp3player mpegdec", &out), 0) << out;
    EXPECT_NE(out.find("-lmp3player"), std::string::npos) << out;
    // The module finds its prefix from where it lies: the headers of the private root.
    const size_t i = out.find("-I");
    ASSERT_NE(i, std::string::npos) << out;
    const std::string inc = out.substr(i + 2, out.find(' ', i) - i - 2);
    EXPECT_EQ(inc.rfind(root, 0), 0u) << inc;
    EXPECT_TRUE(ziv::file_exists(inc + "/mpeg_decoder.h")) << inc;
}

}  // namespace
