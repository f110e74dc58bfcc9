// What the transfer benchmarks share: CPU time and memory of processes,
// medians, and the comparison of one contender with its baseline that ends
// in the lines they print (the measured value, the baseline of the same run,
// their ratio).
#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace bench {

inline constexpr double kBytesPerMiB = 1024.0 * 1024.0;
inline constexpr double kBytesPerGiB = 1024.0 * 1024.0 * 1024.0;

// User and system time of this process (RUSAGE_SELF), or of its children
// that have been waited for (RUSAGE_CHILDREN), in microseconds.
inline qint64 cpuMicroseconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

// A field of /proc/PID/status in KiB ("self" for this process), -1 if missing.
inline qint64 statusKiB(const std::string &pid, const std::string &field)
{
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stoll(line.substr(field.size() + 1));
    }
    return -1;
}

// Lets VmHWM start again from the current resident size.
inline void resetPeakResident(const std::string &pid)
{
    std::ofstream("/proc/" + pid + "/clear_refs") << "5";
}

template <typename T> T median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// One run of a contender: wall time and the CPU time the measured process spent.
struct Run
{
    qint64 ns = 0;
    qint64 cpuUs = 0;
};
using Contender = std::function<std::optional<Run>()>;

struct Comparison
{
    double throughputRatio = 0; // ours at its best against the baseline at its best: higher is better
    double cpuRatio = 0;        // ours against the baseline, median of the rounds: lower is better
    double oursMiBs = 0;        // best throughput of ours
};

// The raw copy at its best: socat with buffers as large as the kernel's
// socket buffers grow. With 64 KiB buffers socat itself is slow, and a
// comparison against it flatters.
inline constexpr const char *kFastSocatBuffer = "4194304";
inline constexpr const char *kSmallSocatBuffer = "65536";

// Runs both contenders rounds times, taking turns at going first so that
// neither always finds the machine warmed up or busied by the other, and
// prints throughput and CPU time per GiB for both. Other work on a shared
// machine only ever slows a copy down, so throughput compares the best round
// of each: what either can do here. The median of the rounds' ratios is
// printed beside it. CPU time compares per round (the two runs of one round
// saw much the same machine), as the median of those ratios. Nothing when a
// run failed.
inline std::optional<Comparison> compare(const char *label, const char *baselineName, qint64 bytes,
                                         int rounds, const Contender &ours, const Contender &baseline)
{
    std::vector<double> oursMiBs, baseMiBs, oursCpu, baseCpu, throughputRatios, cpuRatios;
    for (int round = 0; round < rounds; ++round) {
        std::optional<Run> a, b;
        if (round % 2 == 0) {
            b = baseline();
            a = b ? ours() : std::nullopt;
        } else {
            a = ours();
            b = a ? baseline() : std::nullopt;
        }
        if (!a || !b)
            return std::nullopt;
        const double aMiBs = double(bytes) / kBytesPerMiB / (double(a->ns) / 1e9);
        const double bMiBs = double(bytes) / kBytesPerMiB / (double(b->ns) / 1e9);
        const double aCpu = double(a->cpuUs) / 1e6 / (double(bytes) / kBytesPerGiB);
        const double bCpu = double(b->cpuUs) / 1e6 / (double(bytes) / kBytesPerGiB);
        std::fprintf(stderr, "  %s, round %d: %.0f MiB/s %.2f s/GiB, baseline %.0f MiB/s %.2f s/GiB\n", label,
                     round + 1, aMiBs, aCpu, bMiBs, bCpu);
        oursMiBs.push_back(aMiBs);
        baseMiBs.push_back(bMiBs);
        oursCpu.push_back(aCpu);
        baseCpu.push_back(bCpu);
        throughputRatios.push_back(aMiBs / bMiBs);
        cpuRatios.push_back(aCpu / std::max(bCpu, 1e-9));
    }
    const double oursBest = *std::max_element(oursMiBs.cbegin(), oursMiBs.cend());
    const double baseBest = *std::max_element(baseMiBs.cbegin(), baseMiBs.cend());
    const Comparison result{oursBest / baseBest, median(cpuRatios), oursBest};
    std::printf(
        "%s: %.0f MiB/s, baseline %s %.0f MiB/s, ratio %.2f (higher is better; best of %d rounds each, "
        "median of the rounds' ratios %.2f)\n",
        label, oursBest, baselineName, baseBest, result.throughputRatio, rounds, median(throughputRatios));
    std::printf("%s, CPU: %.2f s/GiB, baseline %s %.2f s/GiB, ratio %.2f (lower is better)\n", label,
                median(oursCpu), baselineName, median(baseCpu), result.cpuRatio);
    std::fflush(stdout);
    return result;
}

} // namespace bench
