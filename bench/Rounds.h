// What the benchmarks share: contenders timed in turn, round after round, so
// that drift in the machine's speed touches all of them alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace bench {

// Rounds of each comparison (the first command-line argument of a bench).
inline int g_runs = 3;

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Closed TCP connections still waiting out their time (TIME_WAIT), from
// /proc/net/sockstat; 0 when unknown.
inline long TimeWaitSockets() {
    std::ifstream in("/proc/net/sockstat");
    std::string word;
    while (in >> word)
        if (word == "tw") {
            long n = 0;
            in >> n;
            return n;
        }
    return 0;
}

// Every small file is a data connection, and a closed one holds its port for a
// minute: a few rounds of 2,000 files use up the 28,000 ports of loopback, and
// whichever contender comes next fails to connect or to listen. Each contender
// starts once most of the ports are free again (untimed).
inline void WaitForFreePorts() {
    for (int i = 0; i < 700 && TimeWaitSockets() > 10000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Processor seconds used so far by this process and by the children it has
// waited for (curl and lftp run through the shell; the servers are not waited
// for while the benchmark runs, so they do not count).
inline double CpuSeconds() {
    auto seconds = [](const rusage& u) {
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self) + seconds(children);
}

// Each contender's median processor seconds in the last Compare: a client that
// needs more of the machine's time falls behind on a busy machine first.
inline std::vector<double> g_lastCpu;

// Each contender's median time; a contender that fails counts as 1e9 s.
// `prepare` runs before each contender, untimed.
inline std::vector<double> Compare(const std::function<void()>& prepare,
                                   const std::vector<std::function<bool()>>& contenders) {
    std::vector<std::vector<double>> times(contenders.size()), cpu(contenders.size());
    for (int round = 0; round < g_runs; ++round)
        for (size_t i = 0; i < contenders.size(); ++i) {
            if (prepare)
                prepare();
            WaitForFreePorts();
            double cpuStart = CpuSeconds();
            auto start = std::chrono::steady_clock::now();
            bool ok = contenders[i]();
            double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            times[i].push_back(ok ? t : 1e9);
            cpu[i].push_back(CpuSeconds() - cpuStart);
        }
    std::vector<double> medians;
    g_lastCpu.clear();
    for (size_t i = 0; i < contenders.size(); ++i) {
        medians.push_back(Median(times[i]));
        g_lastCpu.push_back(Median(cpu[i]));
    }
    return medians;
}

inline std::vector<double> Compare(const std::vector<std::function<bool()>>& contenders) {
    return Compare(nullptr, contenders);
}

inline bool Shell(const std::string& cmd) {
    return std::system(cmd.c_str()) == 0;
}

} // namespace bench
