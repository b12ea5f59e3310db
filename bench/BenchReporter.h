// The console reporter the benchmark programs share: plain text in logs, and per case the run that stands for
// it, from which a program prints its own comparisons once every case has run.
#pragma once

#include <map>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>

// Keeps, per key, what Keep takes from the run that stands for a case: its median when the case was repeated,
// else its single run. Failed runs are left out. Kept has a member "bool median = false".
template <class Key, class Kept>
class CaseReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that logs stay plain text.
    CaseReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred || r.iterations <= 0)
                continue;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (!median && r.run_type != Run::RT_Iteration)
                continue;
            Kept& kept = m_cases[KeyOf(r)];
            if (kept.median && !median)
                continue;
            kept.median = median;
            Keep(r, kept);
        }
    }

protected:
    virtual Key KeyOf(const Run& r) const = 0;
    virtual void Keep(const Run& r, Kept& kept) const = 0;
    // A counter of the run; 0 when it has none.
    static double CounterOf(const Run& r, const char* name)
    {
        auto it = r.counters.find(name);
        return it == r.counters.end() ? 0.0 : static_cast<double>(it->second);
    }

    std::map<Key, Kept> m_cases;
};

// Runs the benchmarks the command line selects, reporting through reporter. False for arguments it does not
// know (they are reported).
inline bool RunBenchmarks(int* argc, char** argv, benchmark::BenchmarkReporter& reporter)
{
    benchmark::Initialize(argc, argv);
    if (benchmark::ReportUnrecognizedArguments(*argc, argv))
        return false;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return true;
}
