// Runs the efficiency test's workload, the adds, look-ups and withdrawals of
// "P n 1", over one table and reports the time it takes, the heap memory the
// table holds at the end, and the result lines it printed. Every table must
// print the very lines the reference table prints, or the run fails.
// Usage: tables --table=NAME --n=N [Google Benchmark options]
// Tables: warehouse (the program's own table, with the bucket count this
// benchmark is built with), unordered_map, flat_map, refilling_chains.
#include "datastructure.hh"
#include "stock/workload.hh"
#include "util/output_lines.hh"

#include <benchmark/benchmark.h>
#include <boost/unordered/unordered_flat_map.hpp>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

// ---------------------------------------------------------------------------
// Heap accounting: every allocation of the program, in every form the
// language offers (plain, array, aligned, not throwing), passes through here,
// so the bytes a table holds are the live bytes after it is built and used
// less those before.

namespace {
std::size_t liveBytes = 0;

void* allocate(std::size_t size, std::size_t alignment = 0)
{
    size = size == 0 ? 1 : size;
    void* block = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        block = std::malloc(size);
    } else if (::posix_memalign(&block, alignment, size) != 0) {
        block = nullptr;
    }
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    liveBytes += malloc_usable_size(block);
    return block;
}

void* allocateOrNull(std::size_t size, std::size_t alignment = 0) noexcept
{
    try {
        return allocate(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void release(void* block) noexcept
{
    if (block != nullptr) {
        liveBytes -= malloc_usable_size(block);
        std::free(block);
    }
}
}  // namespace

void* operator new(std::size_t size)
{
    return allocate(size);
}
void* operator new[](std::size_t size)
{
    return allocate(size);
}
void operator delete(void* block) noexcept
{
    release(block);
}
void operator delete[](void* block) noexcept
{
    release(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    release(block);
}
void operator delete[](void* block, std::size_t) noexcept
{
    release(block);
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
    return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocateOrNull(size);
}
void* operator new(std::size_t size, std::align_val_t alignment,
                   const std::nothrow_t&) noexcept
{
    return allocateOrNull(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t&) noexcept
{
    return allocateOrNull(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* block, std::align_val_t) noexcept
{
    release(block);
}
void operator delete[](void* block, std::align_val_t) noexcept
{
    release(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept
{
    release(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept
{
    release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept
{
    release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    release(block);
}
void operator delete(void* block, std::align_val_t,
                     const std::nothrow_t&) noexcept
{
    release(block);
}
void operator delete[](void* block, std::align_val_t,
                       const std::nothrow_t&) noexcept
{
    release(block);
}

namespace {

// ---------------------------------------------------------------------------
// Where the result lines go: hashed and counted, then dropped, so that tables
// can be compared line for line at no cost of output.

class HashingSink : public std::streambuf {
public:
    std::uint64_t hash = FNV_OFFSET;
    std::uint64_t lines = 0;

    void reset()
    {
        hash = FNV_OFFSET;
        lines = 0;
    }

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override
    {
        for (std::streamsize i = 0; i < count; ++i) {
            take(bytes[i]);
        }
        return count;
    }
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            take(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }

private:
    static constexpr std::uint64_t FNV_OFFSET = 14695981039346656037ull;

    void take(char c)
    {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        lines += c == '\n';
    }
};

// ---------------------------------------------------------------------------
// The tables a user would pick instead, with the stock table's rules: an add
// of 0 units or past 4294967295 changes nothing, the first add of an id keeps
// its shelf and name, a withdrawal of the whole stock removes the product.
// They print what the stock table prints, through the same line printer.

constexpr std::uint32_t MAX_AMOUNT = std::numeric_limits<std::uint32_t>::max();

struct Product {
    std::string shelf;
    std::uint32_t amount;
    std::string name;
};

void printStock(const Product& product)
{
    printLine("Amount: ", product.amount, " Shelf: ", product.shelf);
}

/// Adds units, unless the sum would pass the largest amount.
void addUnits(Product& product, std::uint32_t amount)
{
    if (amount > MAX_AMOUNT - product.amount) {
        printLine(TOO_MUCH_CANDY);
        return;
    }
    product.amount += amount;
}

/// Withdraws from a product in stock; true when that used it up.
bool withdraw(Product& product, std::uint32_t amount)
{
    if (product.amount < amount) {
        printLine(NOT_ENOUGH_CANDY);
        printStock(product);
        return false;
    }
    product.amount -= amount;
    printStock(product);
    return product.amount == 0;
}

/// Any map from id to Product.
template <typename Map> class MapTable {
public:
    void add(const std::string& id, const std::string& shelf,
             std::uint32_t amount, const std::string& name)
    {
        if (amount == 0) {
            return;
        }
        auto [product, added] =
            stock.try_emplace(id, Product{shelf, amount, name});
        if (!added) {
            addUnits(product->second, amount);
        }
    }

    void find(const std::string& id) const
    {
        const auto product = stock.find(id);
        if (product == stock.end()) {
            printLine(NOT_AVAILABLE);
            return;
        }
        const Product& p = product->second;
        printLine(p.name, ' ', p.amount, ' ', p.shelf);
    }

    void substract(const std::string& id, std::uint32_t amount)
    {
        const auto product = stock.find(id);
        if (product == stock.end()) {
            printLine(NOT_AVAILABLE);
            return;
        }
        if (withdraw(product->second, amount)) {
            stock.erase(product);
        }
    }

    void empty() { stock.clear(); }

private:
    Map stock;
};

/// Chains like the program's table, with its hash, its 150000 buckets and
/// heads allocated up front, and records blanked rather than unlinked; but
/// a new product takes the first blank record of its chain wherever it
/// lies, and a record is appended only when there is none. That one rule
/// keeps the chains as long as the stock instead of the history.
class RefillingChains {
public:
    RefillingChains() : heads(BUCKETS) {}

    void add(const std::string& id, const std::string& shelf,
             std::uint32_t amount, const std::string& name)
    {
        if (amount == 0) {
            return;
        }
        Record* blank = nullptr;
        Record* last = nullptr;
        for (Record* record = &heads[bucketOf(id)]; record != nullptr;
             record = record->next.get()) {
            if (record->live && record->id == id) {
                addUnits(record->product, amount);
                return;
            }
            if (!record->live && blank == nullptr) {
                blank = record;
            }
            last = record;
        }
        if (blank == nullptr) {
            last->next = std::make_unique<Record>();
            blank = last->next.get();
        }
        blank->id = id;
        blank->product = Product{shelf, amount, name};
        blank->live = true;
    }

    void find(const std::string& id) const
    {
        const Record* record = findLive(id);
        if (record == nullptr) {
            printLine(NOT_AVAILABLE);
            return;
        }
        const Product& p = record->product;
        printLine(p.name, ' ', p.amount, ' ', p.shelf);
    }

    void substract(const std::string& id, std::uint32_t amount)
    {
        Record* record = findLive(id);
        if (record == nullptr) {
            printLine(NOT_AVAILABLE);
            return;
        }
        if (withdraw(record->product, amount)) {
            record->live = false;
        }
    }

    void empty()
    {
        for (Record& head : heads) {
            for (Record* record = &head; record != nullptr;
                 record = record->next.get()) {
                record->live = false;
            }
        }
    }

private:
    static constexpr std::uint32_t BUCKETS = 150000;

    struct Record {
        std::string id;
        Product product;
        bool live = false;             // holds a product
        std::unique_ptr<Record> next;  // next record of the bucket
    };

    static std::uint32_t bucketOf(const std::string& id)
    {
        return apHash(id) % BUCKETS;
    }

    Record* findLive(const std::string& id) const
    {
        for (const Record* record = &heads[bucketOf(id)]; record != nullptr;
             record = record->next.get()) {
            if (record->live && record->id == id) {
                return const_cast<Record*>(record);
            }
        }
        return nullptr;
    }

    std::vector<Record> heads;
};

// ---------------------------------------------------------------------------
// The benchmark.

HashingSink sink;
bool benchmarkFailed = false;

/// The lines the reference table prints for n: a plain map, simple enough to
/// trust, and fast at any n.
void referenceRun(std::uint32_t n, std::uint64_t& hash, std::uint64_t& lines)
{
    sink.reset();
    MapTable<std::unordered_map<std::string, Product>> table;
    workload::repeatOnce(table, n);
    hash = sink.hash;
    lines = sink.lines;
}

template <typename Table>
void runWorkload(benchmark::State& state, std::uint32_t n)
{
    std::uint64_t expectedHash = 0;
    std::uint64_t expectedLines = 0;
    referenceRun(n, expectedHash, expectedLines);
    std::size_t held = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::size_t before = liveBytes;
        auto table = std::make_unique<Table>();
        sink.reset();
        state.ResumeTiming();
        workload::repeatOnce(*table, n);
        state.PauseTiming();
        held = liveBytes - before;
        table.reset();
        if (sink.hash != expectedHash || sink.lines != expectedLines) {
            benchmarkFailed = true;
            state.SkipWithError("result lines differ from the reference");
            break;
        }
        state.ResumeTiming();
    }
    // The program's table holds at least its head records: less means an
    // allocation went uncounted.
    if constexpr (std::is_same_v<Table, Datastructure>) {
        if (held < Datastructure::headBlockBytes()) {
            benchmarkFailed = true;
            state.SkipWithError("the table's memory is counted short");
        }
    }
    state.counters["memory_bytes"] = static_cast<double>(held);
    state.counters["lines"] = static_cast<double>(expectedLines);
}

using Runner = void (*)(benchmark::State&, std::uint32_t);

Runner runnerFor(std::string_view table)
{
    if (table == "warehouse") {
        return runWorkload<Datastructure>;
    }
    if (table == "unordered_map") {
        return runWorkload<MapTable<std::unordered_map<std::string, Product>>>;
    }
    if (table == "flat_map") {
        return runWorkload<
            MapTable<boost::unordered_flat_map<std::string, Product>>>;
    }
    if (table == "refilling_chains") {
        return runWorkload<RefillingChains>;
    }
    return nullptr;
}

/// The name a table goes by in the results; the program's own table is
/// named after the program that uses its bucket count.
std::string rowName(const std::string& table)
{
    if (table != "warehouse") {
        return table;
    }
    return TABLE_SIZE == 150000 ? "warehouse" : "warehouse-small";
}

/// Prints the one CSV row the sweep script collects on standard output,
/// after the usual report on standard error.
class RowReporter : public benchmark::ConsoleReporter {
public:
    std::string table;
    std::uint32_t n = 0;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0) {
                continue;
            }
            std::printf("ROW %s,%u,%.6g,%.0f,%.0f\n", rowName(table).c_str(), n,
                        run.real_accumulated_time /
                            static_cast<double>(run.iterations),
                        run.counters.at("memory_bytes").value,
                        run.counters.at("lines").value);
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    std::string table;
    long n = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.substr(0, 8) == "--table=") {
            table = argument.substr(8);
        } else if (argument.substr(0, 4) == "--n=") {
            n = std::strtol(argv[i] + 4, nullptr, 10);
        }
    }
    const Runner runner = runnerFor(table);
    if (runner == nullptr || n < 0 || n > MAX_AMOUNT) {
        std::fprintf(stderr,
                     "usage: %s --table=warehouse|unordered_map|"
                     "flat_map|refilling_chains --n=N\n",
                     argv[0]);
        return 2;
    }
    // Result lines go to the sink; the report goes to standard output.
    std::cout.rdbuf(&sink);
    const auto count = static_cast<std::uint32_t>(n);
    benchmark::RegisterBenchmark(
        table.c_str(), [=](benchmark::State& state) { runner(state, count); })
        ->Arg(count)
        ->Unit(benchmark::kSecond)
        ->MeasureProcessCPUTime()
        ->UseRealTime();
    RowReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    reporter.table = table;
    reporter.n = count;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return benchmarkFailed ? 1 : 0;
}
