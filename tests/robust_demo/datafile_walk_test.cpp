// zivivev.dat's bytes checked before Allegro's loader sees them: the real file passes; the same
// file cut anywhere (Allegro's loader crashes on one cut before object 3 and fills a cut object
// 3 with whatever the heap held), an object count larger than the objects there, a directory, a
// missing file and bytes that are no data file all count as missing. A compressed file is left
// to Allegro. Cuts are made by truncating one copy from the end towards the start.
#include "data_check.h"

#include "test_util.h"

#include <sys/stat.h>

namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Offsets where each object's first record (a "prop" or its type) starts, and the file's end.
std::vector<size_t> object_starts(const std::vector<uint8_t>& f) {
    std::vector<size_t> starts;
    size_t p = 12;
    bool fresh = true;
    while (p + 12 <= f.size()) {
        if (fresh) starts.push_back(p);
        uint32_t n = be32(&f[p + 8]);
        fresh = std::memcmp(&f[p], "prop", 4) != 0;
        p += 12 + n;
    }
    starts.push_back(f.size());
    return starts;
}

const std::string& real_file() {
    static const std::string path = std::string(ZIV_RUN_DIR) + "/zivivev.dat";
    return path;
}

TEST(DatafileWalk, TheRealFilePassesAndEveryCutOfItFails) {
    std::vector<uint8_t> f = ziv::read_file(real_file());
    ASSERT_GT(f.size(), 1000u) << "build the zivivev_data target";
    EXPECT_TRUE(datafile_file_complete(real_file().c_str()));
    std::vector<size_t> starts = object_starts(f);
    ASSERT_EQ(starts.size(), 5u) << "four objects and the end";

    std::vector<size_t> cuts = {0, 3, 4, 8, 11, 12, 13, 20, f.size() - 1};
    for (size_t i = 0; i + 1 < starts.size(); ++i)
        for (size_t c : {starts[i] - 1, starts[i], starts[i] + 7, starts[i] + 12, starts[i] + 30,
                         (starts[i] + starts[i + 1]) / 2, starts[i + 1] - 1})
            cuts.push_back(c);
    std::sort(cuts.rbegin(), cuts.rend());
    std::string copy = ziv::tmp_path("cut.dat");
    ASSERT_TRUE(ziv::write_file(copy, f.data(), f.size()));
    for (size_t c : cuts) {
        if (c >= f.size()) continue;
        ASSERT_EQ(truncate(copy.c_str(), off_t(c)), 0);
        EXPECT_FALSE(datafile_file_complete(copy.c_str())) << "cut at " << c << " of " << f.size();
    }
}

TEST(DatafileWalk, OtherFilesThatAreNoCompleteDataFile) {
    std::vector<uint8_t> f = ziv::read_file(real_file());
    ASSERT_GT(f.size(), 1000u);
    std::string path = ziv::tmp_path("other.dat");

    // One object more in the count than there are.
    std::vector<uint8_t> more = f;
    more[11] += 1;
    ASSERT_TRUE(ziv::write_file(path, more.data(), more.size()));
    EXPECT_FALSE(datafile_file_complete(path.c_str()));

    // An object's size one byte more than the file holds, and a size near 4 GB.
    std::vector<size_t> starts = object_starts(f);
    std::vector<uint8_t> big = f;
    size_t last = starts[3];
    while (std::memcmp(&big[last], "prop", 4) == 0) last += 12 + be32(&big[last + 8]);
    for (uint32_t size : {be32(&big[last + 4]) + 1, 0xFFFFFFF0u}) {
        for (int k = 0; k < 4; ++k) big[last + 4 + size_t(k)] = uint8_t(size >> (24 - 8 * k));
        ASSERT_TRUE(ziv::write_file(path, big.data(), big.size()));
        EXPECT_FALSE(datafile_file_complete(path.c_str())) << "object 3 of " << size << " bytes";
    }

    // Bytes of another kind, nothing at all, a folder, no file.
    const char text[] = "this is not a data file at all";
    ASSERT_TRUE(ziv::write_file(path, text, sizeof text));
    EXPECT_FALSE(datafile_file_complete(path.c_str()));
    ASSERT_TRUE(ziv::write_file(path, "", 0));
    EXPECT_FALSE(datafile_file_complete(path.c_str()));
    std::string dir = ziv::tmp_path("folder.dat");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_FALSE(datafile_file_complete(dir.c_str()));
    EXPECT_FALSE(datafile_file_complete(ziv::tmp_path("missing.dat").c_str()));

    // A compressed data file cannot be walked without unpacking it: Allegro decides.
    const uint8_t packed[] = {'s', 'l', 'h', '!', 1, 2, 3, 4};
    ASSERT_TRUE(ziv::write_file(path, packed, sizeof packed));
    EXPECT_TRUE(datafile_file_complete(path.c_str()));
}

}  // namespace
