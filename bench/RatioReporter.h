// Benchmarks: the console report, plus the ratio of two runs' mean real times printed at the end.
#pragma once

#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace ZEPMaintenance::bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred) {
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }
    // Runs are named after the function, followed by their options.
    const double* Find(const std::string& function) const {
        for (const auto& [name, time] : times_) {
            if (name.rfind(function, 0) == 0) {
                return &time;
            }
        }
        return nullptr;
    }
    void PrintRatio(const char* what, const std::string& ours, const std::string& theirs) const {
        const double* a = Find(ours);
        const double* b = Find(theirs);
        if (a != nullptr && b != nullptr && *b > 0) {
            std::printf("ratio %s: %.2f (%s / %s)\n", what, *a / *b, ours.c_str(), theirs.c_str());
        }
    }

private:
    std::map<std::string, double> times_;
};

} // namespace ZEPMaintenance::bench
