// What the demo needs of zivivev.dat before it touches any object by position: an FLI at 0, a
// font at 1, a bitmap of at least 800x600 at 2 and a data object at 3. A file with fewer or other
// objects (an old or damaged zivivev.dat) is treated like a missing one instead of being read
// past its end or used as the wrong kind of object.
#include "data_check.h"

#include <cstdint>
#include <cstdio>

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

namespace {

// Big-endian 32-bit word at the file position; false at the end of the file.
bool read_be32(FILE* f, uint32_t* v) {
    unsigned char b[4];
    if (std::fread(b, 1, 4, f) != 4) return false;
    *v = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    return true;
}

// Walks the objects of an uncompressed data file ("slh." "ALL.", the object count, then per
// object its "prop" records and its type with two sizes and its bytes): true when every one
// of them ends inside the file.
bool walk_objects(FILE* f, long file_size) {
    uint32_t magic = 0, count = 0;
    if (!read_be32(f, &magic) || magic != DAT_MAGIC || !read_be32(f, &count)) return false;
    long pos = 12;
    for (uint32_t obj = 0; obj < count;) {
        uint32_t type = 0, id = 0, size = 0, unpacked = 0;
        if (!read_be32(f, &type)) return false;
        if (type == DAT_PROPERTY) {
            if (!read_be32(f, &id) || !read_be32(f, &size)) return false;
            pos += 12;
        } else {
            if (!read_be32(f, &size) || !read_be32(f, &unpacked)) return false;
            pos += 12;
            ++obj;
        }
        if (long(size) > file_size - pos) return false;
        pos += long(size);
        if (std::fseek(f, pos, SEEK_SET) != 0) return false;
    }
    return true;
}

}  // namespace

bool datafile_file_complete(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    bool ok = false;
    uint32_t pack = 0;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        long size = std::ftell(f);
        if (size >= 4 && std::fseek(f, 0, SEEK_SET) == 0 && read_be32(f, &pack)) {
            if (pack == F_PACK_MAGIC) ok = true;
            else if (pack == F_NOPACK_MAGIC) ok = walk_objects(f, size);
        }
    }
    std::fclose(f);
    return ok;
}
