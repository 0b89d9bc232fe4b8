// Chooses the seed corpus kept in git from the features of every candidate input, measured alone
// (libFuzzer's merge control-file lines: "FILE path size", "FT i features...", "COV i edges...").
// Reads on stdin lines "T target", then "R file" (a regression of that target: always kept, its
// features count as reached) or "C file" (a candidate). Writes "target path" per chosen input.
// First, per target, every edge any candidate reaches, the most new edges per cost first; then,
// across all targets, the inputs that add the largest share of their target's features per cost,
// while the totals stay within the file and byte limits (arguments: max files, max bytes, which
// the regressions count against). Cost is the input's size plus a fixed charge per file.
// Built and run by scripts/fuzz.sh seeds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <queue>
#include <sstream>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

struct Input {
    std::string path;
    int64_t size = 0;
    std::vector<uint32_t> ft, cov;
    bool taken = false;
};

struct Target {
    std::string name;
    std::vector<Input> inputs;
    std::unordered_set<uint32_t> ft, cov, all_ft;
};

bool read_features(const std::string& file, Input* in) {
    std::ifstream f(file);
    std::string line, word;
    while (std::getline(f, line)) {
        std::istringstream s(line);
        s >> word;
        if (word == "FILE") {
            s >> in->path >> in->size;
            continue;
        }
        std::vector<uint32_t>* dst = word == "FT" ? &in->ft : word == "COV" ? &in->cov : nullptr;
        if (!dst) continue;
        uint32_t v;
        s >> v;  // the file's index
        while (s >> v) dst->push_back(v);
    }
    return !in->path.empty();
}

size_t count_new(const std::vector<uint32_t>& v, const std::unordered_set<uint32_t>& have) {
    size_t n = 0;
    for (uint32_t x : v) n += !have.count(x);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: seed_select MAX_FILES MAX_BYTES < list\n");
        return 2;
    }
    int64_t files_left = std::atoll(argv[1]), bytes_left = std::atoll(argv[2]);
    constexpr double kFileCharge = 100000;  // files, not bytes, are the scarce part

    std::vector<Target> targets;
    std::string kind, arg;
    while (std::cin >> kind >> arg) {
        if (kind == "T") {
            targets.push_back(Target{arg, {}, {}, {}, {}});
            continue;
        }
        Input in;
        if (targets.empty() || !read_features(arg, &in)) {
            std::fprintf(stderr, "seed_select: cannot use %s\n", arg.c_str());
            return 1;
        }
        Target& t = targets.back();
        t.all_ft.insert(in.ft.begin(), in.ft.end());
        if (kind == "R") {
            t.ft.insert(in.ft.begin(), in.ft.end());
            t.cov.insert(in.cov.begin(), in.cov.end());
            --files_left;
            bytes_left -= in.size;
        } else {
            t.inputs.push_back(std::move(in));
        }
    }

    // Lazy greedy: a gain only shrinks as inputs are taken, so an input whose fresh gain still
    // tops the queue is the best one.
    using Entry = std::pair<double, std::pair<size_t, size_t>>;  // gain per cost, (target, input)
    auto take = [&](Target& t, Input& in) {
        in.taken = true;
        t.ft.insert(in.ft.begin(), in.ft.end());
        t.cov.insert(in.cov.begin(), in.cov.end());
        --files_left;
        bytes_left -= in.size;
        std::printf("%s %s\n", t.name.c_str(), in.path.c_str());
    };
    auto cost = [&](const Input& in) { return double(in.size) + kFileCharge; };

    for (size_t ti = 0; ti < targets.size(); ++ti) {
        Target& t = targets[ti];
        std::priority_queue<Entry> q;
        for (size_t i = 0; i < t.inputs.size(); ++i)
            q.push({double(count_new(t.inputs[i].cov, t.cov)) / cost(t.inputs[i]), {ti, i}});
        while (!q.empty() && files_left > 0) {
            Input& in = t.inputs[q.top().second.second];
            q.pop();
            const double gain = double(count_new(in.cov, t.cov)) / cost(in);
            if (gain <= 0) continue;
            if (!q.empty() && gain < q.top().first) {
                q.push({gain, {ti, size_t(&in - t.inputs.data())}});
                continue;
            }
            if (in.size > bytes_left) continue;
            take(t, in);
        }
    }

    std::priority_queue<Entry> q;
    auto share = [&](size_t ti, const Input& in) {
        const Target& t = targets[ti];
        return double(count_new(in.ft, t.ft)) / double(t.all_ft.size()) / cost(in);
    };
    for (size_t ti = 0; ti < targets.size(); ++ti)
        for (size_t i = 0; i < targets[ti].inputs.size(); ++i)
            if (!targets[ti].inputs[i].taken) q.push({share(ti, targets[ti].inputs[i]), {ti, i}});
    while (!q.empty() && files_left > 0) {
        const auto [ti, i] = q.top().second;
        q.pop();
        Input& in = targets[ti].inputs[i];
        const double gain = share(ti, in);
        if (gain <= 0) continue;
        if (!q.empty() && gain < q.top().first) {
            q.push({gain, {ti, i}});
            continue;
        }
        if (in.size > bytes_left) continue;
        take(targets[ti], in);
    }

    for (const Target& t : targets) {
        size_t n = 0;
        for (const Input& in : t.inputs) n += in.taken;
        std::fprintf(stderr, "%s: %zu of %zu candidates, %zu of %zu features\n", t.name.c_str(), n,
                     t.inputs.size(), t.ft.size(), t.all_ft.size());
    }
    return 0;
}
