// Helpers shared by the tests: files, temporary folders, external tools run as black boxes,
// PCM comparison with alignment, and the seed of randomised tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace ziv {

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline bool write_file(const std::string& path, const void* data, size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

// A heap copy of exactly bytes [0, n) of `data`, so that the sanitizer build catches any read
// past them (one byte is allocated for n = 0).
inline std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* data, size_t n) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[n ? n : 1]);
    if (n) std::memcpy(p.get(), data, n);
    return p;
}
inline std::unique_ptr<uint8_t[]> exact_copy(const std::vector<uint8_t>& v, size_t n) {
    return exact_copy(v.data(), n);
}

inline bool file_exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// Runs a shell command; returns its exit status (or -1 when it could not run). Windows' system()
// hands back the status itself.
inline int run(const std::string& cmd) {
    int st = std::system(cmd.c_str());
    if (st == -1) return -1;
#ifdef _WIN32
    return st;
#else
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
#endif
}

inline bool have_tool(const std::string& name) {
    return run("command -v " + name + " >/dev/null 2>&1") == 0;
}

// A tool the tests need but that is missing is a failure with a clear message: the set-up
// script installs every one of them.
#define ZIV_REQUIRE_TOOL(name)                                                                   \
    do {                                                                                         \
        if (!::ziv::have_tool(name)) FAIL() << "required tool '" << (name)                        \
                                            << "' is not installed (run ./test.sh to set up)";   \
    } while (0)

// One temporary folder per test program (in the system's temporary folder, named after the
// process and a count), removed at exit unless ZIV_KEEP_TMP is set.
inline const std::string& temp_dir() {
    static std::string dir = [] {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path base = fs::temp_directory_path(ec);
        if (ec) base = ".";
        const unsigned long long id =
            (unsigned long long)std::chrono::steady_clock::now().time_since_epoch().count();
        fs::path d;
        for (unsigned k = 0;; ++k) {
            d = base / ("ziv-test-" + std::to_string(id) + "-" + std::to_string(k));
            if (fs::create_directory(d, ec) || k > 100) break;
        }
        std::string s = d.generic_string();
        if (!ec && !std::getenv("ZIV_KEEP_TMP")) {
            static std::string cleanup = s;
            std::atexit([] {
                std::error_code e;
                std::filesystem::remove_all(cleanup, e);
            });
        }
        return s;
    }();
    return dir;
}

inline std::string tmp_path(const std::string& name) { return temp_dir() + "/" + name; }

inline std::string shared_dir() { return ZIV_SHARED_DIR; }
// The shared libraries' major version, their soname's number: "3" in libmpegdec.so.3.
inline std::string so_major() { return std::to_string(ZIV_VERSION_MAJOR_TEST); }
inline std::string vector_path(const std::string& name) { return shared_dir() + "/vectors/" + name; }

// The inputs of an input list (tests/inputs/*.txt: NAME|COMMAND lines, {DIR} the folder): the
// folder that holds them (one per list, named after it), or, in a cross build (ZIV_INPUTS_DIR),
// the folder where the fixture made them on the build machine before the run. Natively they are
// made once per build: in ZIV_BINARY_DIR/test-inputs, in a folder named after the list and a hash
// of its text (a changed list makes a new one), made first in a folder of the process's own and
// renamed into place whole, so that test programs running side by side find it complete or make
// their own (the first rename wins). Tests only read them. The names in list order; empty, with a
// failure reported, when a command fails.
inline std::vector<std::string> made_inputs(const std::string& list, std::string* dir) {
    std::ifstream in(std::string(ZIV_SOURCE_DIR) + "/tests/inputs/" + list);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string folder = list.substr(0, list.rfind('.'));
    struct Line { std::string name, cmd; };
    std::vector<Line> lines;
    std::istringstream rows(text);
    for (std::string line; std::getline(rows, line);) {
        const size_t bar = line.find('|');
        if (line.empty() || line[0] == '#' || bar == std::string::npos) continue;
        lines.push_back({line.substr(0, bar), line.substr(bar + 1)});
    }
    if (lines.empty()) {
        ADD_FAILURE() << "no inputs listed in " << list;
        return {};
    }
#ifdef ZIV_INPUTS_DIR
    *dir = std::string(ZIV_INPUTS_DIR) + "/" + folder;
#else
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char ch : text) hash = (hash ^ ch) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", (unsigned long long)hash);
    namespace fs = std::filesystem;
    const std::string made = std::string(ZIV_BINARY_DIR) + "/test-inputs/" + folder + "-" + hex;
    std::error_code ec;
    if (!fs::is_directory(made, ec)) {
        static unsigned serial = 0;
        const std::string work = made + ".making-" + fs::path(temp_dir()).filename().string() +
                                 "-" + std::to_string(serial++);
        fs::create_directories(work, ec);
        for (const Line& l : lines) {
            std::string cmd = l.cmd;
            for (size_t at; (at = cmd.find("{DIR}")) != std::string::npos;) cmd.replace(at, 5, work);
            // Tag text in UTF-8 reaches the tools as it is written (as make_inputs.sh runs them).
            if (run("export LC_ALL=C.UTF-8; " + cmd) != 0) {
                ADD_FAILURE() << "could not make " << l.name << ": " << cmd;
                fs::remove_all(work, ec);
                return {};
            }
        }
        fs::rename(work, made, ec);
        if (ec && !fs::is_directory(made)) {
            *dir = work;  // kept where it was made
        } else {
            if (ec) fs::remove_all(work, ec);  // another program's folder came first
            *dir = made;
        }
    } else {
        *dir = made;
    }
#endif
    std::vector<std::string> names;
    for (const Line& l : lines) {
        if (!file_exists(*dir + "/" + l.name)) {
            ADD_FAILURE() << l.name << " is not in " << *dir;
            return {};
        }
        names.push_back(l.name);
    }
    return names;
}

// The path of file `name` of an input list, the list made once per test program (empty, with a
// failure reported, when it could not be).
inline std::string listed_path(const std::string& list, const std::string& name) {
    static std::vector<std::pair<std::string, std::string>> made;  // list, folder
    std::string dir;
    for (const auto& m : made)
        if (m.first == list) dir = m.second;
    if (dir.empty()) {
        if (made_inputs(list, &dir).empty()) return {};
        made.emplace_back(list, dir);
    }
    const std::string path = dir + "/" + name;
    if (!file_exists(path)) {
        ADD_FAILURE() << name << " of " << list << " is missing";
        return {};
    }
    return path;
}

// The bytes of file `name` of an input list (empty, with a failure reported, when it could not
// be made or is empty).
inline std::vector<uint8_t> listed_input(const std::string& list, const std::string& name) {
    const std::string path = listed_path(list, name);
    if (path.empty()) return {};
    std::vector<uint8_t> bytes = read_file(path);
    if (bytes.empty()) ADD_FAILURE() << name << " of " << list << " is empty";
    return bytes;
}

#ifdef ZIV_MP3DEC
inline std::string mp3dec_path() { return ZIV_MP3DEC; }
#endif

// Seed of randomised tests: fixed, printed, overridable with ZIV_SEED.
inline uint32_t test_seed(uint32_t fallback = 20261208u) {
    const char* s = std::getenv("ZIV_SEED");
    uint32_t seed = s ? static_cast<uint32_t>(std::strtoul(s, nullptr, 0)) : fallback;
    std::printf("[ seed     ] ZIV_SEED=%u\n", seed);
    return seed;
}

inline std::vector<int16_t> to_s16(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> v(bytes.size() / 2);
    if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * 2);
    return v;
}

inline std::vector<int16_t> read_s16(const std::string& path) { return to_s16(read_file(path)); }

struct PcmDiff {
    double rms = 0.0;     // root mean square difference in LSB
    int max = 0;          // largest absolute difference in LSB
    size_t max_at = 0;    // sample index (in `a`) of the largest difference
    size_t compared = 0;  // samples compared
};

// Compares a[i + offset] with b[i] over the overlap, in interleaved samples.
inline PcmDiff pcm_diff(const std::vector<int16_t>& a, const std::vector<int16_t>& b,
                        long offset = 0, size_t limit = SIZE_MAX) {
    PcmDiff d;
    double sum = 0.0;
    for (size_t i = 0; i < b.size() && d.compared < limit; ++i) {
        long j = static_cast<long>(i) + offset;
        if (j < 0) continue;
        if (static_cast<size_t>(j) >= a.size()) break;
        int diff = std::abs(int(a[j]) - int(b[i]));
        sum += double(diff) * diff;
        if (diff > d.max) { d.max = diff; d.max_at = size_t(j); }
        ++d.compared;
    }
    d.rms = d.compared ? std::sqrt(sum / double(d.compared)) : 0.0;
    return d;
}

// The offset (in interleaved samples, a multiple of `channels`) within +-range that minimises the
// RMS difference over a window of samples near the start; used where two decoders may differ
// in leading delay.
inline long best_offset(const std::vector<int16_t>& a, const std::vector<int16_t>& b, long range,
                        int channels, size_t window = 1 << 16) {
    long best = 0;
    double best_rms = 1e300;
    for (long off = -range; off <= range; off += channels) {
        PcmDiff d = pcm_diff(a, b, off, window);
        if (d.compared > window / 2 && d.rms < best_rms) { best_rms = d.rms; best = off; }
    }
    return best;
}

}  // namespace ziv
