// huffgen: turns the standard's Layer III figures into the decoder's table sources.
//
// Reads huffman_codes.txt (ISO/IEC 11172-3 Table B.7 as rows "x y length code") and
// scalefactor_bands.txt (Table B.8 / ISO/IEC 13818-3 Table B.2), checks every Huffman table is a
// complete prefix code, builds the multi-level lookups (levels of at most 9 index bits) and writes
// huffman_levels.h and sfb_table.cpp. The lookups are a header of constants so that the decoder
// can build its whole-pair lookups from them while it compiles.
// Usage: huffgen TABLES_DIR OUTPUT_DIR
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Code {
    int x, y;       // pair (or v w x y packed into x for quadruples)
    std::string bits;
};

[[noreturn]] void die(const std::string& msg) {
    std::fprintf(stderr, "huffgen: %s\n", msg.c_str());
    std::exit(1);
}

constexpr int kMaxIndexBits = 9;

// Appends the level for `codes` (their first `skip` bits already consumed) to `out` and returns
// its position in 4-byte words. Entries: leaf {nonzero count, x, y, length in this level};
// link {offset in words from this level's header, little-endian in bytes 0-2, byte 3 = 0}.
size_t build_level(const std::vector<const Code*>& codes, size_t skip, std::vector<uint8_t>& out) {
    size_t maxlen = 0;
    for (const Code* c : codes) maxlen = std::max(maxlen, c->bits.size() - skip);
    int k = int(std::min<size_t>(maxlen, kMaxIndexBits));
    size_t here = out.size() / 4;
    out.insert(out.end(), {uint8_t(k), 0, 0, 0xFF});
    size_t first_entry = out.size();
    out.resize(out.size() + (size_t(4) << k), 0);
    std::vector<bool> filled(size_t(1) << k, false);
    std::map<unsigned, std::vector<const Code*>> deeper;
    for (const Code* c : codes) {
        std::string rest = c->bits.substr(skip);
        if (rest.size() <= size_t(k)) {
            unsigned base = unsigned(std::stoul(rest, nullptr, 2)) << (k - int(rest.size()));
            unsigned span = 1u << (k - int(rest.size()));
            for (unsigned i = base; i < base + span; ++i) {
                if (filled[i]) die("codes are not a prefix code");
                filled[i] = true;
                uint8_t* e = &out[first_entry + 4 * i];
                e[0] = uint8_t((c->x != 0) + (c->y != 0));
                e[1] = uint8_t(c->x);
                e[2] = uint8_t(c->y);
                e[3] = uint8_t(rest.size());
            }
        } else {
            deeper[unsigned(std::stoul(rest.substr(0, size_t(k)), nullptr, 2))].push_back(c);
        }
    }
    for (auto& [idx, group] : deeper) {
        if (filled[idx]) die("codes are not a prefix code");
        filled[idx] = true;
        size_t sub = build_level(group, skip + size_t(k), out);
        size_t off = sub - here;
        if (off >= (1u << 24)) die("link offset too large");
        uint8_t* e = &out[first_entry + 4 * idx];
        e[0] = uint8_t(off);
        e[1] = uint8_t(off >> 8);
        e[2] = uint8_t(off >> 16);
        e[3] = 0;
    }
    for (bool f : filled)
        if (!f) die("incomplete code: a lookup entry has no code");
    return here;
}

// Kraft sum of the lengths, exactly: must be 1 for a complete prefix code.
bool kraft_is_one(const std::vector<Code>& codes) {
    uint64_t sum = 0;
    for (const Code& c : codes) {
        if (c.bits.empty() || c.bits.size() > 32) return false;
        sum += uint64_t(1) << (32 - c.bits.size());
    }
    return sum == (uint64_t(1) << 32);
}

std::string emit_bytes(const std::string& name, const std::vector<uint8_t>& b) {
    std::ostringstream s;
    s << "alignas(4) inline constexpr uint8_t " << name << "[" << b.size() << "] = {\n";
    for (size_t i = 0; i < b.size(); i += 4) {
        s << (i % 16 == 0 ? "    " : " ");
        for (size_t j = 0; j < 4; ++j) s << unsigned(b[i + j]) << ",";
        if (i % 16 == 12 || i + 4 == b.size()) s << "\n";
    }
    s << "};\n";
    return s.str();
}

std::string read_text(const std::string& path) {
    std::ifstream f(path);
    if (!f) die("cannot read " + path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    if (!f) die("cannot write " + path);
}

std::string huffman_source(const std::string& text) {
    std::map<int, std::vector<Code>> tables; // by table number
    std::vector<Code> quad_a, quad_b;
    std::vector<Code>* cur = nullptr;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        std::string w;
        ls >> w;
        if (w == "table") {
            int t;
            ls >> t;
            cur = &tables[t];
        } else if (w == "quad") {
            ls >> w;
            cur = w == "A" ? &quad_a : &quad_b;
        } else {
            if (!cur) die("row before any table: " + line);
            std::istringstream rs(line);
            Code c;
            int len;
            if (cur == &quad_a || cur == &quad_b) {
                int v, ww, x, y;
                rs >> v >> ww >> x >> y >> len >> c.bits;
                c.x = v << 3 | ww << 2 | x << 1 | y;
                c.y = 0;
            } else {
                rs >> c.x >> c.y >> len >> c.bits;
            }
            if (!rs || int(c.bits.size()) != len) die("bad row: " + line);
            cur->push_back(c);
        }
    }
    const int expect[] = {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 24};
    if (tables.size() != sizeof expect / sizeof expect[0]) die("unexpected set of tables");
    for (int t : expect)
        if (!tables.count(t)) die("missing table " + std::to_string(t));
    if (quad_a.size() != 16 || quad_b.size() != 16) die("count1 tables need 16 rows each");

    std::ostringstream s;
    s << "// Generated by tools/huffgen from ../shared/tables/huffman_codes.txt; do not edit.\n"
         "// Layer III Huffman code tables of ISO/IEC 11172-3, Annex B, Table B.7, as multi-level\n"
         "// lookups: a level is a 4-byte header {k, 0, 0, 0xFF} and 2^k four-byte entries indexed\n"
         "// by the next k bits; leaf {nonzero count, x, y, code bits in this level}, link\n"
         "// {little-endian offset in 4-byte units from the level header, 0}.\n"
         "// Included by huffman_tables.h, which defines HuffTableDesc.\n"
         "#pragma once\n\n"
         "// Tables 0, 4 and 14 decode to zeros and read nothing; this level is never indexed.\n"
         "alignas(4) inline constexpr uint8_t huff_lookup_none[8] = {0, 0, 0, 0xFF, 0, 0, 0, 0};\n\n";
    for (auto& [t, codes] : tables) {
        if (!kraft_is_one(codes)) die("table " + std::to_string(t) + " is not a complete code");
        std::vector<const Code*> ptrs;
        for (const Code& c : codes) ptrs.push_back(&c);
        std::vector<uint8_t> bytes;
        build_level(ptrs, 0, bytes);
        s << "// Table " << t << ": " << codes.size() << " codes.\n"
          << emit_bytes("huff_lookup_" + std::to_string(t), bytes) << "\n";
    }
    // Descriptors by table_select.
    const int linbits[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                             1, 2, 3, 4, 6, 8, 10, 13, 4, 5, 6, 7, 8, 9, 11, 13};
    s << "inline constexpr HuffTableDesc huff_tables[32] = {\n";
    std::vector<int> trees;
    for (int t = 0; t < 32; ++t) {
        int kind, src = t;
        if (t == 0 || t == 4 || t == 14) kind = 0;
        else if (t <= 6) kind = 1;
        else if (t <= 15) kind = 2;
        else kind = 3;
        if (t >= 24) src = 24;
        else if (t >= 16) src = 16;
        if (kind == 1) {
            for (const Code& c : tables[src])
                if (c.bits.size() > size_t(kMaxIndexBits)) die("kind-1 table needs one level");
        }
        std::string look = kind == 0 ? "huff_lookup_none" : "huff_lookup_" + std::to_string(src);
        // The code tree's number among the distinct trees, in order of first use (-1: none).
        int tree = -1;
        if (kind != 0) {
            auto at = std::find(trees.begin(), trees.end(), src);
            tree = int(at - trees.begin());
            if (at == trees.end()) trees.push_back(src);
        }
        s << "    {" << look << ", " << linbits[t] << ", " << kind << ", " << tree << "},\n";
    }
    s << "};\n\n";

    // Count1 table A by the next 6 bits; table B is a plain inverted 4-bit field (checked here).
    for (const Code& c : quad_b)
        if (c.bits.size() != 4 || (~std::stoul(c.bits, nullptr, 2) & 15u) != unsigned(c.x))
            die("count1 table B is not the inverted 4-bit field");
    std::vector<const Code*> qa;
    for (const Code& c : quad_a) qa.push_back(&c);
    if (!kraft_is_one(quad_a)) die("count1 table A is not a complete code");
    uint8_t qt[64][2] = {};
    for (const Code& c : quad_a) {
        if (c.bits.size() > 6) die("count1 table A code longer than 6 bits");
        unsigned base = unsigned(std::stoul(c.bits, nullptr, 2)) << (6 - c.bits.size());
        for (unsigned i = base; i < base + (1u << (6 - c.bits.size())); ++i) {
            qt[i][0] = uint8_t(c.bits.size());
            qt[i][1] = uint8_t(c.x);
        }
    }
    s << "inline constexpr uint8_t quad_table_a[64][2] = {\n";
    for (int i = 0; i < 64; ++i)
        s << (i % 8 == 0 ? "    " : " ") << "{" << unsigned(qt[i][0]) << ", " << unsigned(qt[i][1])
          << "}," << (i % 8 == 7 ? "\n" : "");
    s << "};\n";
    return s.str();
}

std::string sfb_source(const std::string& text) {
    std::map<int, std::vector<int>> longb, shortb;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        int rate;
        std::string kind;
        ls >> rate >> kind;
        std::vector<int> v;
        int x;
        while (ls >> x) v.push_back(x);
        (kind == "long" ? longb : shortb)[rate] = v;
    }
    // 8 kHz (MPEG-2.5) row, as the decoder defines it.
    longb[8000] = {0, 12, 24, 36, 48, 60, 72, 88, 108, 132, 160, 192,
                   232, 280, 336, 400, 476, 566, 568, 570, 572, 574, 576};
    shortb[8000] = {0, 8, 16, 24, 36, 52, 72, 96, 124, 160, 162, 164, 166, 192};
    const int rows[9] = {22050, 24000, 16000, 44100, 48000, 32000, 16000, 16000, 8000};
    const char* names[9] = {"22050 Hz", "24000 Hz", "16000 Hz", "44100 Hz", "48000 Hz", "32000 Hz",
                            "11025 Hz (the 16000 Hz row)", "12000 Hz (the 16000 Hz row)", "8000 Hz"};
    int row = 0;
    std::ostringstream s;
    s << "// Generated by tools/huffgen from ../shared/tables/scalefactor_bands.txt; do not edit.\n"
         "// Layer III scalefactor band boundaries (ISO/IEC 11172-3 Table B.8, ISO/IEC 13818-3\n"
         "// Table B.2) in spectral lines: 23 long-block boundaries, then 14 short-block boundaries\n"
         "// (per window). Rows: 22.05, 24, 16 kHz; 44.1, 48, 32 kHz; 11.025 and 12 kHz (the 16 kHz\n"
         "// row); 8 kHz.\n"
         "#include \"../layer3_internal.h\"\n\n"
         "const int32_t sfb_table[9][37] = {\n";
    for (int r : rows) {
        const auto& l = longb[r];
        const auto& sh = shortb[r];
        if (l.size() != 23 || l.back() != 576 || sh.size() != 14 || sh.back() != 192)
            die("bad band row for " + std::to_string(r));
        for (size_t i = 1; i < l.size(); ++i)
            if (l[i] <= l[i - 1]) die("long bands not increasing");
        for (size_t i = 1; i < sh.size(); ++i)
            if (sh[i] <= sh[i - 1]) die("short bands not increasing");
        s << "    // " << names[row++] << "\n    {";
        for (size_t i = 0; i < 23; ++i) s << l[i] << (i + 1 < 23 ? ", " : ",\n     ");
        for (size_t i = 0; i < 14; ++i) s << sh[i] << (i + 1 < 14 ? ", " : "");
        s << "},\n";
    }
    s << "};\n";
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) die("usage: huffgen TABLES_DIR OUTPUT_DIR");
    std::string tdir = argv[1], odir = argv[2];
    write_text(odir + "/huffman_levels.h", huffman_source(read_text(tdir + "/huffman_codes.txt")));
    write_text(odir + "/sfb_table.cpp", sfb_source(read_text(tdir + "/scalefactor_bands.txt")));
    return 0;
}
