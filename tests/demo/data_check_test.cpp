// The object layout check on hand-made object lists: the lists end exactly at their DAT_END
// entry, so a check that reads past it shows up under AddressSanitizer.
#include "data_check.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct Objects {
    std::unique_ptr<BITMAP> back{new BITMAP()};  // only w and h are read
    int fli_bytes = 0, font_stub = 0, mp3_bytes = 0;
    std::vector<DATAFILE> list;

    Objects(int w, int h) {
        back->w = w;
        back->h = h;
        list = {{&fli_bytes, DAT_FLI, 4, nullptr},
                {&font_stub, DAT_FONT, 0, nullptr},
                {back.get(), DAT_BITMAP, 0, nullptr},
                {&mp3_bytes, DAT_DATA, 4, nullptr},
                {nullptr, DAT_END, 0, nullptr}};
    }
    // Heap copy ending at the DAT_END entry, with the first `n` objects kept.
    std::vector<DATAFILE> first(size_t n) const {
        std::vector<DATAFILE> v(list.begin(), list.begin() + long(n));
        v.push_back({nullptr, DAT_END, 0, nullptr});
        return v;
    }
};

TEST(DataCheck, TheFourObjectsInOrderAreAccepted) {
    Objects o(800, 600);
    EXPECT_TRUE(datafile_usable(o.list.data()));
    Objects big(1024, 768);  // only its top-left 800x600 is shown
    EXPECT_TRUE(datafile_usable(big.list.data()));
    o.list[3].type = DAT_SAMPLE;  // object 3 is used as raw bytes whatever its kind
    EXPECT_TRUE(datafile_usable(o.list.data()));
}

TEST(DataCheck, MissingObjectsAreRefusedWithoutReadingPastTheEnd) {
    Objects o(800, 600);
    EXPECT_FALSE(datafile_usable(nullptr));
    for (size_t n = 0; n < 4; ++n) {
        std::vector<DATAFILE> v = o.first(n);
        EXPECT_FALSE(datafile_usable(v.data())) << n << " objects";
    }
}

TEST(DataCheck, ObjectsOfTheWrongKindOrSizeAreRefused) {
    Objects o(800, 600);
    std::swap(o.list[0], o.list[1]);  // font first, FLI second
    EXPECT_FALSE(datafile_usable(o.list.data()));

    Objects rle(800, 600);
    rle.list[2].type = DAT_RLE_SPRITE;
    EXPECT_FALSE(datafile_usable(rle.list.data()));

    Objects small(640, 600);
    EXPECT_FALSE(datafile_usable(small.list.data()));
    Objects short_pic(800, 599);
    EXPECT_FALSE(datafile_usable(short_pic.list.data()));

    Objects empty(800, 600);
    empty.list[3].dat = nullptr;
    EXPECT_FALSE(datafile_usable(empty.list.data()));
}

}  // namespace
