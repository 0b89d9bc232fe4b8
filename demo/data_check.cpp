// What the demo needs of zivivev.dat before it touches any object by position: an FLI at 0, a
// font at 1, a bitmap of at least 800x600 at 2 and a data object at 3. A file with fewer or other
// objects (an old or damaged zivivev.dat) is treated like a missing one instead of being read
// past its end or used as the wrong kind of object.
#include "data_check.h"

bool datafile_usable(const DATAFILE* d) {
    if (!d) return false;
    static const int kTypes[3] = {DAT_FLI, DAT_FONT, DAT_BITMAP};
    for (int i = 0; i < 4; ++i) {
        if (d[i].type == DAT_END || !d[i].dat) return false;
        if (i < 3 && d[i].type != kTypes[i]) return false;
    }
    const BITMAP* back = static_cast<const BITMAP*>(d[2].dat);
    return back->w >= 800 && back->h >= 600;
}
