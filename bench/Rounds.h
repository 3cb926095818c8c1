// What the benchmarks share: contenders timed in turn, round after round, so
// that drift in the machine's speed touches all of them alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// Rounds of each comparison (the first command-line argument of a bench).
inline int g_runs = 3;

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Each contender's median time; a contender that fails counts as 1e9 s.
// `prepare` runs before each contender, untimed.
inline std::vector<double> Compare(const std::function<void()>& prepare,
                                   const std::vector<std::function<bool()>>& contenders) {
    std::vector<std::vector<double>> times(contenders.size());
    for (int round = 0; round < g_runs; ++round)
        for (size_t i = 0; i < contenders.size(); ++i) {
            if (prepare)
                prepare();
            auto start = std::chrono::steady_clock::now();
            bool ok = contenders[i]();
            double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            times[i].push_back(ok ? t : 1e9);
        }
    std::vector<double> medians;
    for (auto& t : times)
        medians.push_back(Median(t));
    return medians;
}

inline std::vector<double> Compare(const std::vector<std::function<bool()>>& contenders) {
    return Compare(nullptr, contenders);
}

inline bool Shell(const std::string& cmd) {
    return std::system(cmd.c_str()) == 0;
}

} // namespace bench
