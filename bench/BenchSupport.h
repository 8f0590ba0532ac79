#pragma once

// Shared main for the benchmark executables: runs the registered benchmarks
// with the console output and then prints, for each named pair, the ratio of
// their real times measured in the same run:
//
//     ratio BM_Rebuild/BM_BuildFromMerged = 1.23
//
// A name matches a benchmark as the console prints it ("BM_Lookup/1000",
// "BM_Load/real_time"), or its family name alone ("BM_Lookup") when that
// family ran exactly one instance. With repetitions, the mean of the
// repetitions is used. Usage:
//
//     int main(int argc, char** argv) {
//         return vyr::bench::runWithRatios(argc, argv, {{"BM_Rebuild", "BM_BuildFromMerged"}});
//     }

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstddef>

#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vyr::bench {

// A console reporter that also keeps the mean real time, in seconds, of every
// benchmark it reports. Owns its table; used by one thread (the runner's).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, as the library's own console output does.
    RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            Sum& byName = sums_[run.benchmark_name()];
            byName.seconds += seconds;
            ++byName.count;
            Sum& byFamily = families_[run.run_name.function_name];
            if (byFamily.instance.empty() || byFamily.instance == run.benchmark_name()) {
                byFamily.instance = run.benchmark_name();
            } else {
                byFamily.ambiguous = true;
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }

    // The mean real time in seconds of the named benchmark, or a negative
    // value when it did not run (or the family name is ambiguous). "A+B"
    // names the sum of two.
    [[nodiscard]] double secondsGet(const std::string& name) const {
        if (const std::size_t plus = name.find('+'); plus != std::string::npos) {
            const double first = secondsGet(name.substr(0, plus));
            const double second = secondsGet(name.substr(plus + 1));
            return first < 0.0 || second < 0.0 ? -1.0 : first + second;
        }
        auto found = sums_.find(name);
        if (found == sums_.end()) {
            const auto family = families_.find(name);
            if (family == families_.end() || family->second.ambiguous) {
                return -1.0;
            }
            found = sums_.find(family->second.instance);
        }
        return found == sums_.end() || found->second.count == 0 ? -1.0
                                                                 : found->second.seconds / found->second.count;
    }

private:
    struct Sum {
        double seconds = 0.0;
        long count = 0;
        std::string instance; // for families: the one instance seen
        bool ambiguous = false;
    };
    std::map<std::string, Sum> sums_;
    std::map<std::string, Sum> families_;
};

// Ratios of quantities other than time that benchmarks note while they run
// (peak memory over a file's size), printed after the others in the order
// noted. Used by the runner's thread only.
inline std::vector<std::pair<std::string, double>>& notedRatios() {
    static std::vector<std::pair<std::string, double>> noted;
    return noted;
}

inline void vRatioNote(std::string name, double value) { notedRatios().emplace_back(std::move(name), value); }

// Runs the benchmarks selected on the command line and prints one line
// "ratio <name>/<baseline> = X.XX" per pair (or "n/a" when either did not
// run), where a baseline "A+B" is the sum of the two. Then prints the
// ratios that the benchmarks noted themselves (vRatioNote), for quantities
// other than time. Returns the process exit code.
inline int runWithRatios(int argc, char** argv, const std::vector<std::pair<std::string, std::string>>& pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto& [name, baseline] : pairs) {
        const double measured = reporter.secondsGet(name);
        const double reference = reporter.secondsGet(baseline);
        std::cout << "ratio " << name << '/' << baseline << " = ";
        if (measured < 0.0 || reference <= 0.0) {
            std::cout << "n/a\n";
        } else {
            std::cout << std::fixed << std::setprecision(2) << measured / reference << '\n';
        }
    }
    for (const auto& [name, value] : notedRatios()) {
        std::cout << "ratio " << name << " = " << std::fixed << std::setprecision(2) << value << '\n';
    }
    std::cout.flush();
    benchmark::Shutdown();
    return 0;
}

} // namespace vyr::bench
