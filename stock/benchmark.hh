// The benchmark harness: the synthetic product generator, the memory peak
// probe and the efficiency test that times the table.
#ifndef WAREHOUSE_BENCHMARK_HH
#define WAREHOUSE_BENCHMARK_HH

#include "datastructure.hh"
#include "util/progress.hh"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

/// The start of the line that says a long command was stopped part-way.
inline constexpr std::string_view STOPPED = "Stopped by Ctrl-C";

/// The process's peak virtual memory size and the unit the system states it
/// in; (0, "?") when it cannot be learnt.
struct MemoryPeak {
    std::uint64_t value;
    std::string unit;
};

MemoryPeak mempeak();

/// Adds n generated products. The count seeds the C library's generator, so
/// a given n always gives the same products; two draws may give the same
/// id, whose units then add up.
void generate(Datastructure& table, std::uint32_t n);

/// Times r repeats of the efficiency test's workload over n generated
/// products and prints the seconds taken and the growth of the peak virtual
/// memory since the baseline on standard error. Empties the table first.
/// When stopRequested says so, between two products or passes, the test
/// stops there and says how far it got instead.
void efficiencyTest(Datastructure& table, std::uint32_t n, std::uint32_t r,
                    std::uint64_t baseline,
                    const StopCheck& stopRequested = {});

#endif
