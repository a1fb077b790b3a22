// The synthetic product generator, the memory peak probe and the efficiency
// test.
#include "stock/benchmark.hh"

#include "stock/workload.hh"
#include "util/output_lines.hh"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string_view>

// ---------------------------------------------------------------------------
// Synthetic product generator.

namespace {

const std::string GENERATED_TAIL = ":098765retfg:1212:965";
constexpr std::string_view ints = "123456789";
constexpr std::string_view alphas =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890";

// A position from 4 to 22 of a generated id.
std::uint16_t drawPosition()
{
    return static_cast<std::uint16_t>(std::rand() % 19 + 4);
}

// Digits go after the second colon (position 15), letters and digits before.
char drawCharacterFor(std::uint16_t position)
{
    if (position > 15) {
        return ints[static_cast<std::size_t>(std::rand()) % ints.size()];
    }
    return alphas[static_cast<std::size_t>(std::rand()) % alphas.size()];
}

}  // namespace

void drawGeneratedId(std::string& id)
{
    // Drawing modulo size - 1 leaves "WIN" out; generated data has always
    // been made this way, so the products of a given count stay the same.
    constexpr std::string_view prefixes[] = {"LKS", "GUM", "SMK", "MIX",
                                             "SUK", "TIK", "VHT", "WIN"};
    constexpr int prefixCount = std::size(prefixes) - 1;
    id = prefixes[std::rand() % prefixCount];
    id += GENERATED_TAIL;
    std::uint16_t p = drawPosition();
    while (id[p] == ':') {
        p = drawPosition();
    }
    std::uint16_t q = drawPosition();
    while (id[q] == ':' || q == p) {
        q = drawPosition();
    }
    id[p] = drawCharacterFor(p);
    id[q] = drawCharacterFor(q);
}

void generate(Datastructure& table, std::uint32_t n)
{
    workload::generate(table, n);
}
// ---------------------------------------------------------------------------
// Memory peak probe.

MemoryPeak mempeak()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        std::getline(fields, key, ':');
        if (key != "VmPeak") {
            continue;
        }
        MemoryPeak peak{0, "?"};
        fields >> peak.value >> peak.unit;
        return peak;
    }
    return {0, "?"};
}

// ---------------------------------------------------------------------------
// Efficiency test.

void efficiencyTest(Datastructure& table, std::uint32_t n, std::uint32_t r,
                    std::uint64_t baseline, const StopCheck& stopRequested)
{
    // A monotonic clock: a step of the wall clock must not skew the figure.
    const auto start = std::chrono::steady_clock::now();
    const auto keepGoing = [&stopRequested](std::uint32_t) {
        return !stopRequested || !stopRequested();
    };
    for (std::uint32_t repeat = 0; repeat < r; ++repeat) {
        if (!workload::repeatOnce(table, n, keepGoing)) {
            printLine(STOPPED, " in repeat ", repeat + 1, " of ", r, '.');
            return;
        }
    }
    const auto end = std::chrono::steady_clock::now();
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start);
    const double seconds = static_cast<double>(nanoseconds.count()) / 1e9;

    const MemoryPeak peak = mempeak();
    // Built whole first: standard error is unbuffered, and the line should
    // reach it in one write.
    std::ostringstream line;
    line << seconds << " sec, " << peak.value - baseline << ' ' << peak.unit
         << '\n';
    std::cerr << line.str() << std::flush;
}

