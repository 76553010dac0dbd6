// Ratios printed at the end of a benchmark run, from that run's own figures: ours against a
// yardstick measured in the same process, or against a fixed time such as real time. Each
// benchmark's median CPU time is used when repetitions were asked for, else its one result.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace qfbench {

struct Ratio {
    std::string label;
    std::string ours;       // benchmark name
    std::string yardstick;  // benchmark name, or empty to use seconds
    double seconds = 0;     // fixed yardstick (real time of what ours produces)
    double target = 0;      // yardstick / ours must reach this (0: no target)
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && !medians_.count(name))
                seconds_[name] = run.GetAdjustedCPUTime() / Unit(run.time_unit);
            if (median) {
                seconds_[name] = run.GetAdjustedCPUTime() / Unit(run.time_unit);
                medians_[name] = true;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // One line per ratio: "label: ours X, yardstick Y, Z x (target T x)". Returns false if a
    // ratio could not be formed.
    bool PrintRatios(const std::vector<Ratio> &ratios) const
    {
        bool complete = true;
        std::printf("\nratios (median CPU time, same run): yardstick / ours\n");
        for (const Ratio &r : ratios) {
            auto ours = seconds_.find(r.ours);
            auto yard = r.yardstick.empty() ? seconds_.end() : seconds_.find(r.yardstick);
            if (ours == seconds_.end() || (!r.yardstick.empty() && yard == seconds_.end())) {
                complete = false;
                continue;  // filtered out or failed
            }
            double yardstick = r.yardstick.empty() ? r.seconds : yard->second;
            double ratio = yardstick / ours->second;
            std::printf("  %-44s ours %10.2f us  yardstick %10.2f us  %9.2f x", r.label.c_str(), ours->second * 1e6,
                        yardstick * 1e6, ratio);
            if (r.target > 0) std::printf("  (target >= %g x: %s)", r.target, ratio >= r.target ? "met" : "NOT met");
            std::printf("\n");
        }
        return complete;
    }

private:
    static double Unit(benchmark::TimeUnit unit)
    {
        switch (unit) {
        case benchmark::kNanosecond: return 1e9;
        case benchmark::kMicrosecond: return 1e6;
        case benchmark::kMillisecond: return 1e3;
        default: return 1;
        }
    }
    std::map<std::string, double> seconds_;
    std::map<std::string, bool> medians_;
};

// A benchmark main that prints the ratios after the usual table.
inline int RunWithRatios(int argc, char **argv, const std::vector<Ratio> &ratios)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios(ratios);
    benchmark::Shutdown();
    return 0;
}

}  // namespace qfbench
