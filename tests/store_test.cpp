// Unit tests of what every kind of store shares: the notes a run keeps of
// its commands and their changes, which the history and the writes are made
// from. A store of the test's own records what it is given to write.
#include "captured_output.hh"
#include "datastructure.hh"
#include "store.hh"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// What one write held, in a form a test compares at a glance: "echo: kind"
// for the command, then "id before>after" for each of its net changes.
using Written = std::vector<std::string>;

class RecordingStore final : public Store {
public:
    explicit RecordingStore(Datastructure& table) : Store(table, {})
    {
        watchTable();
    }

    std::vector<Written> writes;
    std::vector<Access> locks;  // what each transaction was opened for

private:
    bool lock(Access access) override
    {
        locks.push_back(access);
        return true;
    }
    bool catchUp() override { return true; }
    bool commit() override { return true; }
    void rollback() override {}
    bool readHistory(const std::string*, std::size_t,
                     std::vector<HistoryEntry>&) override
    {
        return true;
    }

    bool write(const CommandNotes& notes,
               const std::vector<StockChange>& changes) override
    {
        const char* kind =
            notes.kind == CommandNotes::Kind::Products  ? "products"
            : notes.kind == CommandNotes::Kind::Emptied ? "emptied"
                                                        : "many";
        Written written{notes.echo + ": " + kind};
        for (const StockChange& change : changes) {
            written.push_back(change.id + ' ' + std::to_string(change.before) +
                              '>' + std::to_string(change.after));
        }
        writes.push_back(written);
        return true;
    }
};

class StoreNotesTest : public ::testing::Test {
protected:
    std::unique_ptr<Datastructure> owned = std::make_unique<Datastructure>();
    Datastructure& table = *owned;
    CapturedOutput output;
    RecordingStore store{table};

    /// A command as the console runs one: in a transaction, told first.
    template <typename Change>
    void command(const std::string& echo, Change change,
                 Store::Access access = Store::Access::Changes)
    {
        ASSERT_TRUE(store.begin(access));
        store.commandRuns(echo);
        change();
    }
};

TEST_F(StoreNotesTest, EachCommandThatChangedTheStockIsWrittenWithItsNetChanges)
{
    command("A b s 5 n", [&] { table.add("b", "s", 5, "n"); });
    command(
        "F b", [&] { table.find("b"); }, Store::Access::Reads);
    command("D b 2", [&] { table.substract("b", 2); });
    // One command's changes net out, product by product, in the order of
    // the ids; a product it left as it was is left out.
    command("R f", [&] {
        table.add("c", "s", 1, "n");
        table.add("b", "s", 4, "n");
        table.add("a", "s", 2, "n");
        table.add("b", "s", 1, "n");
        table.substract("c", 1);
    });
    command("D b 9", [&] { table.substract("b", 9); });  // refused
    command("D b 8", [&] { table.substract("b", 8); });
    ASSERT_TRUE(store.end());
    EXPECT_EQ(store.writes,
              (std::vector<Written>{{"A b s 5 n: products", "b 0>5"},
                                    {"D b 2: products", "b 5>3"},
                                    {"R f: products", "a 0>2", "b 3>8"},
                                    {"D b 8: products", "b 8>0"}}));
    // Nothing noted since: the next end writes nothing.
    ASSERT_TRUE(store.end());
    EXPECT_EQ(store.writes.size(), 4u);
}

TEST_F(StoreNotesTest, EmptyingOrVeryManyChangesAreWrittenAsAWhole)
{
    command("A a s 1 n", [&] { table.add("a", "s", 1, "n"); });
    command("E", [&] { table.empty(); });
    // More than the history lists, and more than half the stock.
    command("G many", [&] {
        for (std::size_t i = 0; i <= MOST_ENTRIES; ++i) {
            table.add("g" + std::to_string(i), "s", 1, "n");
        }
    });
    ASSERT_TRUE(store.end());
    EXPECT_EQ(store.writes,
              (std::vector<Written>{{"A a s 1 n: products", "a 0>1"},
                                    {"E: emptied"},
                                    {"G many: many"}}));
}

TEST_F(StoreNotesTest, ACommandThatNeedsMoreThanTheOpenTransactionStartsItsOwn)
{
    // Reads share a transaction; a change needs the lock, and gets a
    // transaction of its own, which the reads after it share.
    command(
        "H", [] {}, Store::Access::History);
    command(
        "F a", [] {}, Store::Access::Reads);
    command(
        "C", [] {}, Store::Access::Reads);
    command("A a s 1 n", [&] { table.add("a", "s", 1, "n"); });
    command(
        "F a", [] {}, Store::Access::Reads);
    ASSERT_TRUE(store.end());
    EXPECT_EQ(store.locks, (std::vector<Store::Access>{
                               Store::Access::History, Store::Access::Reads,
                               Store::Access::Changes}));
}

}  // namespace
