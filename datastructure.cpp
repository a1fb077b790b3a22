// The stock table: buckets, chains, the product hash and the table's
// operations.
#include "datastructure.hh"

#include "util/output_lines.hh"

#include <sys/mman.h>

#include <cassert>
#include <cstddef>
#include <limits>
#include <new>

static_assert(TABLE_SIZE > 0 && TABLE_SIZE <= SLOT_CAPACITY,
              "TABLE_SIZE must fit the bucket array");

namespace {

constexpr std::uint32_t MAX_AMOUNT = std::numeric_limits<std::uint32_t>::max();

void printStock(std::uint32_t amount, const std::string& shelf)
{
    printLine("Amount: ", amount, " Shelf: ", shelf);
}

}  // namespace

namespace {

// Huge pages on Linux: the 2 MiB-aligned stretches of a large head block,
// advised to use them, are built with a handful of page faults instead of one
// per 4 KiB. The block keeps its exact size, so that the memory the table
// reports is its own.
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

void adviseHugePages(void* block, std::size_t bytes)
{
#ifdef MADV_HUGEPAGE
    const auto first = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t start = (first + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t end = (first + bytes) & ~(HUGE_PAGE - 1);
    if (end > start) {
        ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    }
#endif
}

}  // namespace

void Datastructure::HeadBlockRelease::operator()(void* block) const
{
    ::operator delete(block);
}

std::size_t Datastructure::headBlockBytes()
{
    return sizeof(varasto) * TABLE_SIZE;
}

Datastructure::Datastructure()
{
    const std::size_t bytes = headBlockBytes();
    headBlock.reset(::operator new(bytes));
    adviseHugePages(headBlock.get(), bytes);
    auto* heads = static_cast<varasto*>(headBlock.get());
    for (std::uint32_t b = 0; b < TABLE_SIZE; ++b) {
        slots[b] = new (&heads[b]) varasto;
    }
}

Datastructure::~Datastructure()
{
    // Appended records were allocated one by one; the heads live in the
    // block, which is released after them.
    for (std::uint32_t b = 0; b < TABLE_SIZE; ++b) {
        for (varasto* record = slots[b]->next; record != nullptr;) {
            varasto* next = record->next;
            delete record;
            record = next;
        }
        slots[b]->~varasto();
    }
}

std::uint32_t apHash(std::string_view text)
{
    std::uint32_t h = 0xAAAAAAAAu;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Bytes count as signed: 0x80 to 0xFF hash as -128 to -1.
        auto c = static_cast<std::uint32_t>(
            static_cast<std::int32_t>(static_cast<signed char>(text[i])));
        if (i % 2 == 0) {
            h ^= (h << 7) ^ (c * (h >> 3));
        } else {
            h ^= ~((h << 11) + (c ^ (h >> 5)));
        }
    }
    return h;
}

std::uint32_t Datastructure::hashString(const std::string& text) const
{
    return apHash(text) % TABLE_SIZE;
}

Datastructure::varasto* Datastructure::findLive(std::uint32_t bucket,
                                                const std::string& id) const
{
    for (varasto* record = slots[bucket]; record != nullptr;
         record = record->next) {
        if (record->occupied == 1 && record->id == id) {
            return record;
        }
    }
    return nullptr;
}

bool Datastructure::onko_listassa(const std::string& id) const
{
    return findLive(hashString(id), id) != nullptr;
}

bool Datastructure::add(const std::string& id, const std::string& shelf,
                        std::uint32_t amount, const std::string& name)
{
    if (amount == 0) {
        return false;  // a live record never holds 0 units
    }
    const std::uint32_t bucket = hashString(id);
    varasto& head = *slots[bucket];
    if (head.occupied == 1) {
        return lisaa_valmiiseen(bucket, amount, id, shelf, name);
    }
    // A blank head is taken unless the id already lives further down.
    if (varasto* record = findLive(bucket, id)) {
        return addUnits(*record, amount);
    }
    fillHead(head, id, shelf, amount, name);
    return true;
}

void Datastructure::fillHead(varasto& head, const std::string& id,
                             const std::string& shelf, std::uint32_t amount,
                             const std::string& name)
{
    // What can fail comes first: the copies, and telling the watcher. Should
    // either throw, the head is blanked again and nothing has changed.
    try {
        head.shelf = shelf;
        head.name = name;
        head.id = id;
        changing(&id, 0, amount);
    } catch (...) {
        blank(head);
        throw;
    }
    head.amount = amount;
    head.occupied = 1;
    ++kinds;
}

bool Datastructure::lisaa_valmiiseen(std::uint32_t bucket, std::uint32_t amount,
                                     const std::string& id,
                                     const std::string& shelf,
                                     const std::string& name)
{
    // One walk finds the id's live record or, failing that, the chain's tail.
    varasto* last = nullptr;
    for (varasto* record = slots[bucket]; record != nullptr;
         record = record->next) {
        if (record->occupied == 1 && record->id == id) {
            return addUnits(*record, amount);
        }
        last = record;
    }
    std::unique_ptr<varasto> record(
        new varasto{shelf, amount, name, nullptr, id, 1});
    changing(&id, 0, amount);
    last->next = record.release();
    ++kinds;
    return true;
}

bool Datastructure::addUnits(varasto& record, std::uint32_t amount)
{
    assert(record.occupied == 1 && record.amount > 0);
    if (amount > MAX_AMOUNT - record.amount) {
        printLine(TOO_MUCH_CANDY);
        return false;
    }
    changing(&record.id, record.amount, record.amount + amount);
    record.amount += amount;
    return true;
}

void Datastructure::find(const std::string& id) const
{
    if (kinds == 0) {
        printLine(NOT_AVAILABLE);  // nothing is live: no need to look
        return;
    }
    const varasto* record = findLive(hashString(id), id);
    if (record == nullptr) {
        printLine(NOT_AVAILABLE);
        return;
    }
    printLine(record->name, ' ', record->amount, ' ', record->shelf);
}

void Datastructure::substract(const std::string& id, std::uint32_t amount)
{
    varasto* record = findLive(hashString(id), id);
    if (record == nullptr) {
        printLine(NOT_AVAILABLE);
        return;
    }
    if (record->amount < amount) {
        printLine(NOT_ENOUGH_CANDY);
        printStock(record->amount, record->shelf);
        return;
    }
    if (amount == 0) {
        printStock(record->amount, record->shelf);  // nothing changes
        return;
    }
    const std::uint32_t left = record->amount - amount;
    if (left > 0) {
        changing(&id, record->amount, left);
        record->amount = left;
        printStock(left, record->shelf);
        return;
    }
    // The change is made before the line is printed, so that a line that
    // cannot be printed leaves a change that was made and noted; the shelf
    // is taken from the record for the line.
    changing(&id, record->amount, 0);
    const std::string shelf = std::move(record->shelf);
    remove(*record);
    printStock(0, shelf);
}

void Datastructure::empty()
{
    changing(nullptr, 0, 0);
    kinds = 0;
    for (std::uint32_t b = 0; b < TABLE_SIZE; ++b) {
        for (varasto* record = slots[b]; record != nullptr;
             record = record->next) {
            // A blank record holds the blank values already.
            if (record->occupied == 1) {
                blank(*record);
            }
        }
    }
}

void Datastructure::put(const std::string& id, const std::string& shelf,
                        std::uint32_t amount, const std::string& name)
{
    varasto* record = findLive(hashString(id), id);
    if (record == nullptr) {
        add(id, shelf, amount, name);  // quiet: a new product never overflows
        return;
    }
    if (amount == 0) {
        changing(&id, record->amount, 0);
        remove(*record);
        return;
    }
    if (record->shelf == shelf && record->name == name) {
        changing(&id, record->amount, amount);
        record->amount = amount;
        return;
    }
    // Copied before the watcher is told, and swapped in after it, so that a
    // copy that fails changes nothing.
    std::string newShelf = shelf;
    std::string newName = name;
    changing(&id, record->amount, amount);
    record->shelf.swap(newShelf);
    record->name.swap(newName);
    record->amount = amount;
}

std::uint64_t Datastructure::count() const
{
    return kinds;
}

void Datastructure::forEachProduct(const ProductVisitor& visit) const
{
    for (std::uint32_t b = 0; b < TABLE_SIZE; ++b) {
        for (const varasto* record = slots[b]; record != nullptr;
             record = record->next) {
            if (record->occupied == 1) {
                visit(record->id, record->shelf, record->amount, record->name);
            }
        }
    }
}

bool Datastructure::lookUp(const std::string& id,
                           const ProductVisitor& visit) const
{
    const varasto* record = findLive(hashString(id), id);
    if (record == nullptr) {
        return false;
    }
    visit(record->id, record->shelf, record->amount, record->name);
    return true;
}

void Datastructure::watch(ChangeWatcher newWatcher)
{
    watcher = std::move(newWatcher);
}

std::int32_t Datastructure::maara(std::int32_t bucket) const
{
    assert(bucket >= 0 && static_cast<std::uint32_t>(bucket) < TABLE_SIZE);
    const varasto* record = slots[bucket];
    if (record->occupied == 0) {
        return 0;
    }
    std::int32_t records = 0;
    for (; record != nullptr; record = record->next) {
        ++records;
    }
    return records;
}

void Datastructure::remove(varasto& record)
{
    blank(record);
    --kinds;
}

void Datastructure::blank(varasto& record)
{
    record.amount = 0;
    record.occupied = 0;
    record.shelf.clear();
    record.name.clear();
    record.id = BLANK_ID;
}
