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

// What the notes of one write held, in a form a test compares at a glance:
// "echo: kind" for a command, then "id before>after" for each change.
using Written = std::vector<std::string>;

class RecordingStore final : public Store {
public:
    explicit RecordingStore(Datastructure& table) : Store(table, {})
    {
        watchTable();
    }

    std::vector<Written> writes;
    std::vector<std::string> changedIds;  // of the last write, as given
    bool everything = false;              // of the last write

private:
    bool lock() override { return true; }
    bool catchUp() override { return true; }
    bool commit() override { return true; }
    void rollback() override {}
    bool readHistory(const std::string*, std::size_t,
                     std::vector<HistoryEntry>&) override
    {
        return true;
    }

    bool write(const StoreNotes& notes) override
    {
        Written written;
        for (std::size_t c = 0; c < notes.commands.size(); ++c) {
            const StoreNotes::Command& command = notes.commands[c];
            const char* kind =
                command.kind == StoreNotes::Kind::Products ? "products"
                : command.kind == StoreNotes::Kind::Emptied ? "emptied"
                                                            : "many";
            written.push_back(command.echo + ": " + kind);
            const auto [first, end] = notes.changesOf(c);
            for (std::size_t i = first; i < end; ++i) {
                const StoreNotes::Change& change = notes.changes[i];
                written.push_back(change.id + ' ' +
                                  std::to_string(change.before) + '>' +
                                  std::to_string(change.after));
            }
        }
        writes.push_back(written);
        everything = notes.everything;
        changedIds.clear();
        notes.forEachChangedId([this](const std::string& id) {
            changedIds.push_back(id);
            return true;
        });
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
    template <typename Change> void command(const std::string& echo, Change change)
    {
        ASSERT_TRUE(store.begin());
        store.commandRuns(echo);
        change();
    }
};

TEST_F(StoreNotesTest, EachCommandKeepsItsChangesInOrder)
{
    command("A b s 5 n", [&] { table.add("b", "s", 5, "n"); });
    command("F b", [&] { table.find("b"); });  // changes nothing
    command("D b 2", [&] { table.substract("b", 2); });
    command("A a s 1 n", [&] { table.add("a", "s", 1, "n"); });
    command("D b 3", [&] { table.substract("b", 3); });
    command("D b 1", [&] { table.substract("b", 1); });  // not in stock
    ASSERT_TRUE(store.end());
    ASSERT_EQ(store.writes.size(), 1u);
    EXPECT_EQ(store.writes[0],
              (Written{"A b s 5 n: products", "b 0>5", "D b 2: products",
                       "b 5>3", "A a s 1 n: products", "a 0>1",
                       "D b 3: products", "b 3>0"}));
    // The products to write: each once, in the order of the ids.
    EXPECT_EQ(store.changedIds, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(store.everything);

    // Nothing noted since: the next end writes nothing.
    ASSERT_TRUE(store.end());
    EXPECT_EQ(store.writes.size(), 1u);
}

TEST_F(StoreNotesTest, EmptyingOrVeryManyChangesAreOneEntryAndAWholeWrite)
{
    command("A a s 1 n", [&] { table.add("a", "s", 1, "n"); });
    command("E", [&] { table.empty(); });
    command("A b s 2 n", [&] { table.add("b", "s", 2, "n"); });
    // More than 65536 changes, and more than half the stock.
    command("G many", [&] {
        for (int i = 0; i < 70000; ++i) {
            table.add("g" + std::to_string(i), "s", 1, "n");
        }
    });
    ASSERT_TRUE(store.end());
    EXPECT_EQ(store.writes.at(0),
              (Written{"A a s 1 n: products", "a 0>1", "E: emptied",
                       "A b s 2 n: products", "b 0>2", "G many: many"}));
    EXPECT_TRUE(store.everything);
}

TEST_F(StoreNotesTest, AWriteInTheMiddleOfATransactionKeepsTheRest)
{
    // H writes the notes so far, inside the transaction; the end writes
    // the rest.
    command("A a s 1 n", [&] { table.add("a", "s", 1, "n"); });
    command("H", [&] { ASSERT_TRUE(store.printHistory(nullptr)); });
    command("A a s 2 n", [&] { table.add("a", "s", 2, "n"); });
    ASSERT_TRUE(store.end());
    ASSERT_EQ(store.writes.size(), 2u);
    EXPECT_EQ(store.writes[0], (Written{"A a s 1 n: products", "a 0>1"}));
    EXPECT_EQ(store.writes[1], (Written{"A a s 2 n: products", "a 1>3"}));
}

}  // namespace
