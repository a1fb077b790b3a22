// The warehouse's stock table: a hash table with separate chaining, keyed by
// product id.
//
// Every bucket owns a head record that is allocated, with all the others in
// one block, when the table is built and lives as long as the table, so
// storing the first product of a bucket never allocates. Invariants, for
// buckets 0 to TABLE_SIZE - 1:
//  - slots[b] points to the head record of bucket b from construction until
//    destruction; heads are never freed, replaced or unlinked.
//  - Records are never unlinked. A record whose product is used up is blanked
//    in place; chains only grow, and a new record always goes after the last
//    record of its chain.
//  - A record is live (occupied == 1) exactly when it holds a product, and a
//    live record never holds 0 units. Blank records never match any id, so a
//    chain holds at most one live record per id, and "tyhja" is an ordinary id.
//  - kinds equals the number of live records.
// Only a blank head is ever filled again; a blank record further down a chain
// stays blank until the table is destroyed.
#ifndef WAREHOUSE_DATASTRUCTURE_HH
#define WAREHOUSE_DATASTRUCTURE_HH

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Messages printed by the table and the console, each on a line of its own.
inline constexpr std::string_view NOT_AVAILABLE = "Product not in warehouse.";
inline constexpr std::string_view NOT_ENOUGH_CANDY =
    "Not enough candy available.";
inline constexpr std::string_view TOO_MUCH_CANDY =
    "Too much candy for one product.";
inline constexpr std::string_view INVALID_NUMBER = "Invalid number.";
// Followed by a space and the id of a product that a stock file cannot hold.
inline constexpr std::string_view CANNOT_SAVE_PRODUCT =
    "Product cannot be saved:";
// Followed by a space and the reason the save failed.
inline constexpr std::string_view STOCK_NOT_SAVED = "Stock not saved:";

// Id stored in a blank record; it only marks the record for readers of a
// dump, since blank records are recognised by their occupied flag.
inline constexpr std::string_view BLANK_ID = "tyhja";

// Room for the largest bucket count either program is built with; a build
// uses the first TABLE_SIZE entries only.
inline constexpr std::uint32_t SLOT_CAPACITY = 150000;

/// The table's 32-bit hash of the AP family, before it is reduced to a
/// bucket.
std::uint32_t apHash(std::string_view text);

// A table holds its buckets inline (1.2 MB with SLOT_CAPACITY of them): the
// runs keep it on the heap, out of the stack a command may grow into, which
// a process at its address space's limit could not grow further.
class Datastructure {
public:
    /// Builds the table with a blank head record in each of its TABLE_SIZE
    /// buckets.
    Datastructure();
    /// Releases every record, heads and appended records alike.
    ~Datastructure();

    // The table owns its records and is far too large to copy.
    Datastructure(const Datastructure&) = delete;
    Datastructure& operator=(const Datastructure&) = delete;

    /// Stores amount units of a product. A new id takes the bucket's head if
    /// the head is blank, otherwise a new record at the end of the chain. A
    /// known id gets the units added and keeps its first shelf and name.
    /// Adding 0 units changes nothing; an add that would pass 4294967295
    /// units prints TOO_MUCH_CANDY and changes nothing. Prints nothing else.
    /// Returns whether the stock changed.
    bool add(const std::string& id, const std::string& shelf,
             std::uint32_t amount, const std::string& name);

    /// Prints "name amount shelf" for a product in stock, NOT_AVAILABLE
    /// otherwise. Changes nothing.
    void find(const std::string& id) const;

    /// Withdraws amount units and prints "Amount: left Shelf: shelf". A
    /// withdrawal of the whole stock blanks the record. An unknown id prints
    /// NOT_AVAILABLE; a withdrawal larger than the stock prints
    /// NOT_ENOUGH_CANDY and the unchanged stock line, and changes nothing.
    void substract(const std::string& id, std::uint32_t amount);

    /// Blanks every record; the records stay allocated and linked.
    void empty();

    /// The number of products in stock.
    std::uint64_t count() const;

    /// What forEachProduct hands out for each product: id, shelf, amount,
    /// name, in the order add takes them.
    using ProductVisitor =
        std::function<void(const std::string& id, const std::string& shelf,
                           std::uint32_t amount, const std::string& name)>;

    /// Calls visit for every product in stock, bucket by bucket and down each
    /// chain, so the same stock is always visited in the same order. Changes
    /// nothing; visit must not change the table either.
    void forEachProduct(const ProductVisitor& visit) const;

    /// Calls visit with the product of that id when it is in stock, and
    /// tells whether it is. Changes nothing.
    bool lookUp(const std::string& id, const ProductVisitor& visit) const;

    /// Makes the stock hold exactly amount units of the product, with this
    /// shelf and name, or, when amount is 0, not hold it at all: for
    /// following a copy of the stock that others change. Prints nothing.
    void put(const std::string& id, const std::string& shelf,
             std::uint32_t amount, const std::string& name);

    /// What a watcher of the stock is told just before each change: the id
    /// of the product and its units before and after (0: not in stock), or a
    /// null id when the whole stock is about to be emptied. Should the
    /// watcher throw, the change is not made. It must not change the table.
    using ChangeWatcher = std::function<void(
        const std::string* id, std::uint32_t before, std::uint32_t after)>;

    /// Sets the one watcher of the stock; an empty one watches nothing.
    void watch(ChangeWatcher watcher);

    /// True when the id's chain holds a live record with that id.
    bool onko_listassa(const std::string& id) const;

    /// The bucket of a text: a 32-bit hash of the AP family, mod TABLE_SIZE.
    std::uint32_t hashString(const std::string& text) const;

    /// The bytes the head records of all buckets take, in the one block
    /// that is allocated when the table is built.
    static std::size_t headBlockBytes();

    /// The number of records in a bucket's chain, blank ones included, or 0
    /// when the bucket's head is blank. bucket must be below TABLE_SIZE.
    std::int32_t maara(std::int32_t bucket) const;

private:
    struct varasto {
        std::string shelf;          // shelf label of the first delivery
        std::uint32_t amount = 0;   // units in stock; 0 only when blank
        std::string name;           // product name
        varasto* next = nullptr;    // next record of the bucket, or null
        std::string id{BLANK_ID};   // product id, the key
        std::int32_t occupied = 0;  // 1 while the record holds a product
    };

    /// Adds to the live record of id in bucket's chain, or appends a new
    /// record at the end of the chain. The caller has hashed the id.
    bool lisaa_valmiiseen(std::uint32_t bucket, std::uint32_t amount,
                          const std::string& id, const std::string& shelf,
                          const std::string& name);

    /// Adds units to a live record, unless the sum would pass 4294967295:
    /// then prints TOO_MUCH_CANDY, leaves the record as it is, and returns
    /// false.
    bool addUnits(varasto& record, std::uint32_t amount);

    /// Tells the watcher, if there is one, that a product is about to
    /// change.
    void changing(const std::string* id, std::uint32_t before,
                  std::uint32_t after) const
    {
        if (watcher) {
            watcher(id, before, after);
        }
    }

    /// Fills a blank head with a new product.
    void fillHead(varasto& head, const std::string& id,
                  const std::string& shelf, std::uint32_t amount,
                  const std::string& name);

    /// Blanks a live record and counts one kind less.
    void remove(varasto& record);

    /// The live record of id in bucket's chain, or null.
    varasto* findLive(std::uint32_t bucket, const std::string& id) const;

    static void blank(varasto& record);

    std::uint32_t kinds = 0;  // live records in the table
    ChangeWatcher watcher;
    /// Releases the head block, once the heads in it have been destroyed.
    struct HeadBlockRelease {
        void operator()(void* block) const;
    };

    // The head records of all buckets, allocated together when the table is
    // built: one allocation instead of one per bucket.
    std::unique_ptr<void, HeadBlockRelease> headBlock;
    varasto* slots[SLOT_CAPACITY];  // bucket heads; [TABLE_SIZE, end) unused
};

#endif
