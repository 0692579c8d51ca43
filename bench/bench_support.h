// What the benchmark programs share: the smoke mode (a tiny --benchmark_min_time, as scripts/test.sh gives,
// makes the programs with fixed round counts do only a few rounds), medians and percentiles of samples.
#ifndef DOIP_BENCH_SUPPORT_H
#define DOIP_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace doip_bench {

// True when the command line asks for less than 0.1 s per benchmark: a smoke run, not a measurement.
inline bool smoke_run(int argc, char** argv) {
    const char* const kOption = "--benchmark_min_time=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kOption, std::strlen(kOption)) == 0) {
            return std::strtod(argv[i] + std::strlen(kOption), nullptr) < 0.1;
        }
    }
    return false;
}

// The sample at `fraction` (0.5: the median) of the sorted samples; 0 without samples.
inline double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const auto at = static_cast<size_t>(fraction * static_cast<double>(samples.size()));
    return samples[std::min(at, samples.size() - 1)];
}

inline double median(std::vector<double> samples) {
    return percentile(std::move(samples), 0.5);
}

// The end of a main() that registered its benchmarks itself: the library's command line, then every run.
inline int run_registered(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace doip_bench

#endif
