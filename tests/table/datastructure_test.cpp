// Unit tests of the stock table: what a transcript cannot see, such as bucket
// numbers, chain shapes and the kinds counter. Built once per bucket count.
#include "datastructure.hh"

#include "tests/captured_output.hh"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr bool LARGE = TABLE_SIZE == 150000;

// The bucket a text is expected in, for the large and the small table.
std::uint32_t bucketOf(std::uint32_t large, std::uint32_t small)
{
    return LARGE ? large : small;
}

class TableTest : public ::testing::Test {
protected:
    // The table holds its bucket array inline: too large for a test's stack.
    std::unique_ptr<Datastructure> owned = std::make_unique<Datastructure>();
    Datastructure& table = *owned;
    CapturedOutput output;

    std::string findLine(const std::string& id)
    {
        output.take();
        table.find(id);
        return output.take();
    }

    std::string withdraw(const std::string& id, std::uint32_t amount)
    {
        output.take();
        table.substract(id, amount);
        return output.take();
    }
};

// p105, p1150 and p651617 share bucket 7594 in both tables.
const std::string SHARED_A = "p105";
const std::string SHARED_B = "p1150";
const std::string SHARED_C = "p651617";
constexpr std::int32_t SHARED_BUCKET = 7594;

TEST_F(TableTest, HashOfEmptyTextIsTheSeedReduced)
{
    EXPECT_EQ(table.hashString(""), bucketOf(111530, 6530));
}

TEST_F(TableTest, HashMatchesKnownValues)
{
    EXPECT_EQ(table.hashString("abc"), bucketOf(114072, 9072));
    EXPECT_EQ(table.hashString("GUM:31415926:1007:961"), bucketOf(49507, 4507));
}

TEST_F(TableTest, HashTakesHighBytesAsNegative)
{
    // 15000 divides 150000, so the small table's bucket follows from the
    // large one's.
    EXPECT_EQ(table.hashString("\xC3\xA4"), bucketOf(147606, 147606 % 15000));
}

TEST_F(TableTest, KnownCollisionsShareABucket)
{
    for (const std::string& id : {SHARED_A, SHARED_B, SHARED_C}) {
        EXPECT_EQ(table.hashString(id),
                  static_cast<std::uint32_t>(SHARED_BUCKET))
            << id;
    }
    // p55, p103 and p920 collide only when there are 15000 buckets.
    const std::uint32_t b55 = table.hashString("p55");
    const bool together =
        b55 == table.hashString("p103") && b55 == table.hashString("p920");
    EXPECT_EQ(together, !LARGE);
    if (!LARGE) {
        EXPECT_EQ(b55, 7596u);
    }
}

TEST_F(TableTest, FreshTableIsEmpty)
{
    EXPECT_EQ(table.count(), 0u);
    EXPECT_EQ(findLine("tyhja"), "Product not in warehouse.\n");
    EXPECT_EQ(table.maara(SHARED_BUCKET), 0);
    EXPECT_FALSE(table.onko_listassa("tyhja"));
}

TEST_F(TableTest, CollidingIdsFillTheHeadThenAppendInOrder)
{
    table.add(SHARED_A, "1.1", 1, "A");
    EXPECT_EQ(table.maara(SHARED_BUCKET), 1);
    table.add(SHARED_B, "1.2", 2, "B");
    table.add(SHARED_C, "1.3", 3, "C");
    EXPECT_EQ(table.maara(SHARED_BUCKET), 3);
    EXPECT_EQ(table.count(), 3u);
    EXPECT_EQ(findLine(SHARED_A), "A 1 1.1\n");
    EXPECT_EQ(findLine(SHARED_B), "B 2 1.2\n");
    EXPECT_EQ(findLine(SHARED_C), "C 3 1.3\n");
}

TEST_F(TableTest, UnknownIdOfAnOccupiedBucketIsNotAvailable)
{
    table.add(SHARED_A, "1.1", 1, "A");
    table.add(SHARED_B, "1.2", 2, "B");
    EXPECT_EQ(findLine(SHARED_C), "Product not in warehouse.\n");
    EXPECT_EQ(withdraw(SHARED_C, 1), "Product not in warehouse.\n");
    EXPECT_FALSE(table.onko_listassa(SHARED_C));
}

TEST_F(TableTest, RepeatedAddSumsAmountsAndKeepsFirstShelfAndName)
{
    table.add("GUM:1", "3.25", 5, "Jenkki");
    table.add("GUM:1", "9.99", 7, "Other");
    EXPECT_EQ(table.count(), 1u);
    EXPECT_EQ(findLine("GUM:1"), "Jenkki 12 3.25\n");
    EXPECT_EQ(table.maara(static_cast<std::int32_t>(table.hashString("GUM:1"))),
              1);
}

TEST_F(TableTest, AddingZeroUnitsChangesNothing)
{
    table.add(SHARED_A, "1.1", 0, "A");
    EXPECT_EQ(table.count(), 0u);
    EXPECT_EQ(table.maara(SHARED_BUCKET), 0);
    EXPECT_FALSE(table.onko_listassa(SHARED_A));

    table.add(SHARED_A, "1.1", 5, "A");
    table.add(SHARED_B, "1.2", 0, "B");
    table.add(SHARED_A, "1.1", 0, "A");
    EXPECT_EQ(table.count(), 1u);
    EXPECT_EQ(table.maara(SHARED_BUCKET), 1);
    EXPECT_EQ(findLine(SHARED_A), "A 5 1.1\n");
}

TEST_F(TableTest, AddPastTheLargestAmountIsRefused)
{
    table.add("x", "s", 4294967290u, "n");
    output.take();
    table.add("x", "s", 6, "n");
    EXPECT_EQ(output.take(), "Too much candy for one product.\n");
    EXPECT_EQ(findLine("x"), "n 4294967290 s\n");
    table.add("x", "s", 5, "n");
    EXPECT_EQ(output.take(), "");
    EXPECT_EQ(findLine("x"), "n 4294967295 s\n");
    EXPECT_EQ(table.count(), 1u);
}

TEST_F(TableTest, WithdrawingPartOfTheStockReportsWhatIsLeft)
{
    table.add("MIX", "2.22", 1000, "Irtokarkkia");
    EXPECT_EQ(withdraw("MIX", 300), "Amount: 700 Shelf: 2.22\n");
    EXPECT_EQ(withdraw("MIX", 0), "Amount: 700 Shelf: 2.22\n");
    EXPECT_EQ(findLine("MIX"), "Irtokarkkia 700 2.22\n");
    EXPECT_EQ(table.count(), 1u);
}

TEST_F(TableTest, WithdrawingTooMuchChangesNothing)
{
    table.add("x", "4.1", 5, "n");
    EXPECT_EQ(withdraw("x", 7),
              "Not enough candy available.\nAmount: 5 Shelf: 4.1\n");
    EXPECT_EQ(findLine("x"), "n 5 4.1\n");
}

TEST_F(TableTest, WithdrawingAllStockBlanksTheRecord)
{
    table.add("x", "4.1", 5, "n");
    table.add("y", "4.2", 5, "m");
    EXPECT_EQ(withdraw("x", 5), "Amount: 0 Shelf: 4.1\n");
    EXPECT_EQ(table.count(), 1u);
    EXPECT_EQ(findLine("x"), "Product not in warehouse.\n");
    EXPECT_EQ(withdraw("x", 1), "Product not in warehouse.\n");
    EXPECT_FALSE(table.onko_listassa("x"));
}

TEST_F(TableTest, BlankHeadIsFilledByTheNextNewProductOfItsBucket)
{
    table.add(SHARED_A, "1.1", 1, "A");
    table.add(SHARED_B, "1.2", 2, "B");
    withdraw(SHARED_A, 1);
    EXPECT_EQ(table.maara(SHARED_BUCKET), 0);  // the head is blank
    EXPECT_EQ(withdraw(SHARED_A, 1), "Product not in warehouse.\n");
    EXPECT_EQ(findLine(SHARED_B), "B 2 1.2\n");

    table.add(SHARED_C, "1.3", 3, "C");
    EXPECT_EQ(table.maara(SHARED_BUCKET), 2);  // C took the head
    EXPECT_EQ(table.count(), 2u);
    EXPECT_EQ(findLine(SHARED_C), "C 3 1.3\n");
}

TEST_F(TableTest, KnownIdBehindABlankHeadIsAddedToNotDuplicated)
{
    table.add(SHARED_A, "1.1", 1, "A");
    table.add(SHARED_B, "1.2", 2, "B");
    withdraw(SHARED_A, 1);
    table.add(SHARED_B, "9.9", 3, "Z");
    EXPECT_EQ(findLine(SHARED_B), "B 5 1.2\n");
    EXPECT_EQ(table.count(), 1u);
    // Still two records, and the head is still blank.
    EXPECT_EQ(table.maara(SHARED_BUCKET), 0);
    table.add(SHARED_A, "1.1", 1, "A");
    EXPECT_EQ(table.maara(SHARED_BUCKET), 2);
}

TEST_F(TableTest, BlankRecordDownAChainStaysBlankAndNewProductsAppend)
{
    table.add(SHARED_A, "1.1", 1, "A");
    table.add(SHARED_B, "1.2", 2, "B");
    withdraw(SHARED_B, 2);
    EXPECT_EQ(table.maara(SHARED_BUCKET), 2);
    table.add(SHARED_B, "2.2", 4, "B2");
    EXPECT_EQ(table.maara(SHARED_BUCKET), 3);
    EXPECT_EQ(findLine(SHARED_B), "B2 4 2.2\n");
    EXPECT_EQ(table.count(), 2u);
}

TEST_F(TableTest, EmptyKeepsRecordsSoRefillingGrowsChains)
{
    table.add(SHARED_A, "1.1", 1, "A");
    table.add(SHARED_B, "1.2", 2, "B");
    table.add("other", "7", 7, "O");
    table.empty();
    EXPECT_EQ(table.count(), 0u);
    EXPECT_EQ(findLine(SHARED_B), "Product not in warehouse.\n");
    EXPECT_EQ(findLine("other"), "Product not in warehouse.\n");
    EXPECT_EQ(withdraw("other", 1), "Product not in warehouse.\n");

    table.add(SHARED_B, "5.5", 9, "new B");
    table.add(SHARED_A, "6.6", 8, "new A");
    EXPECT_EQ(table.maara(SHARED_BUCKET), 3);
    EXPECT_EQ(findLine(SHARED_B), "new B 9 5.5\n");
    EXPECT_EQ(findLine(SHARED_A), "new A 8 6.6\n");
    EXPECT_EQ(table.count(), 2u);
}

TEST_F(TableTest, BlankMarkerIsAnOrdinaryId)
{
    // p56186 shares the bucket of "tyhja"; once it is used up, its blank
    // record carries the marker id and must not pass for the product.
    EXPECT_EQ(table.hashString("p56186"), table.hashString("tyhja"));
    table.add("p56186", "1.1", 1, "A");
    table.add("other", "1.2", 1, "B");  // keeps the counter above 0
    withdraw("p56186", 1);
    EXPECT_FALSE(table.onko_listassa("tyhja"));
    EXPECT_EQ(findLine("tyhja"), "Product not in warehouse.\n");
    EXPECT_EQ(withdraw("tyhja", 0), "Product not in warehouse.\n");

    table.add("tyhja", "0.1", 4, "Empty box");
    EXPECT_EQ(table.count(), 2u);
    EXPECT_TRUE(table.onko_listassa("tyhja"));
    EXPECT_EQ(findLine("tyhja"), "Empty box 4 0.1\n");
    const auto bucket = static_cast<std::int32_t>(table.hashString("tyhja"));
    EXPECT_EQ(table.maara(bucket), 1);
    EXPECT_EQ(withdraw("tyhja", 4), "Amount: 0 Shelf: 0.1\n");
    EXPECT_EQ(table.count(), 1u);
    EXPECT_EQ(findLine("tyhja"), "Product not in warehouse.\n");
}

TEST_F(TableTest, CountFollowsLiveRecordsThroughEveryChange)
{
    table.add(SHARED_A, "1", 1, "A");
    table.add(SHARED_B, "1", 1, "B");
    table.add(SHARED_B, "1", 1, "B");
    EXPECT_EQ(table.count(), 2u);
    withdraw(SHARED_B, 1);
    EXPECT_EQ(table.count(), 2u);
    withdraw(SHARED_B, 1);
    EXPECT_EQ(table.count(), 1u);
    withdraw(SHARED_B, 1);  // gone already: no further change
    EXPECT_EQ(table.count(), 1u);
    table.add(SHARED_B, "1", 1, "B");
    EXPECT_EQ(table.count(), 2u);
    table.empty();
    EXPECT_EQ(table.count(), 0u);
}

// The products a visit hands out, one "id;amount;shelf;name" string each.
std::vector<std::string> visitAll(const Datastructure& table)
{
    std::vector<std::string> seen;
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        seen.push_back(id + ";" + std::to_string(amount) + ";" + shelf + ";" +
                       name);
    });
    return seen;
}

TEST_F(TableTest, VisitSeesLiveProductsInBucketThenChainOrder)
{
    EXPECT_TRUE(visitAll(table).empty());
    table.add(SHARED_A, "s1", 1, "n1");
    table.add(SHARED_B, "s2", 2, "n2");
    table.add(SHARED_C, "s3", 3, "n3");
    table.add("", "e", 4, "Empty id");  // bucket 111530 or 6530
    withdraw(SHARED_B, 2);              // blanks the middle of the chain
    const std::string chain[] = {"p105;1;s1;n1", "p651617;3;s3;n3"};
    const std::string empty = ";4;e;Empty id";
    const std::vector<std::string> expected =
        LARGE ? std::vector<std::string>{chain[0], chain[1], empty}
              : std::vector<std::string>{empty, chain[0], chain[1]};
    EXPECT_EQ(visitAll(table), expected);
    EXPECT_EQ(visitAll(table).size(), table.count());
}

TEST_F(TableTest, VisitSeesNothingAfterEmpty)
{
    table.add(SHARED_A, "s1", 1, "n1");
    table.add("GUM:1", "3.25", 10, "Jenkki Purukumi");
    table.empty();
    EXPECT_TRUE(visitAll(table).empty());
}

}  // namespace

TEST(TableWatcher, IsToldOfEveryChangeBeforeItAndOfNothingElse)
{
    auto owned = std::make_unique<Datastructure>();
    Datastructure& table = *owned;
    CapturedOutput output;
    std::vector<std::string> told;
    table.watch([&](const std::string* id, std::uint32_t before,
                    std::uint32_t after) {
        // Told before the change: the table still holds the old units.
        std::uint32_t now = 0;
        if (id != nullptr) {
            table.lookUp(*id, [&now](auto&, auto&, std::uint32_t amount,
                                     auto&) { now = amount; });
        }
        told.push_back((id != nullptr ? *id : "<emptied>") + ' ' +
                       std::to_string(before) + '>' + std::to_string(after) +
                       (now == before ? "" : " told late"));
    });
    // add tells whether the stock changed.
    EXPECT_TRUE(table.add(SHARED_A, "s", 5, "n"));   // fills the head
    EXPECT_TRUE(table.add(SHARED_B, "s", 5, "n"));   // appended
    EXPECT_TRUE(table.add(SHARED_B, "s", 2, "n"));   // units added
    EXPECT_FALSE(table.add("zero", "s", 0, "n"));    // nothing added
    EXPECT_FALSE(table.add(SHARED_A, "s", 4294967295, "n"));  // too much
    table.substract(SHARED_A, 9);               // refused: not enough
    table.substract(SHARED_A, 0);               // nothing withdrawn
    table.substract("absent", 1);               // not in stock
    table.substract(SHARED_B, 3);               // some left
    table.substract(SHARED_A, 5);               // used up
    table.put(SHARED_B, "s", 4, "n");           // units set
    table.put(SHARED_B, "s2", 4, "n2");         // shelf and name set
    table.put(SHARED_C, "s", 0, "n");           // absent stays absent
    table.put(SHARED_C, "s", 6, "n");           // arrives
    table.put(SHARED_B, "", 0, "");             // goes
    table.empty();
    EXPECT_EQ(told, (std::vector<std::string>{
                        SHARED_A + " 0>5", SHARED_B + " 0>5",
                        SHARED_B + " 5>7", SHARED_B + " 7>4",
                        SHARED_A + " 5>0", SHARED_B + " 4>4",
                        SHARED_B + " 4>4", SHARED_C + " 0>6",
                        SHARED_B + " 4>0", "<emptied> 0>0"}));
    EXPECT_EQ(output.take(), "Too much candy for one product.\n"
                             "Not enough candy available.\nAmount: 5 Shelf: s\n"
                             "Amount: 5 Shelf: s\nProduct not in warehouse.\n"
                             "Amount: 4 Shelf: s\nAmount: 0 Shelf: s\n");
}

TEST(TableWatcher, ThatThrowsStopsTheChange)
{
    auto owned = std::make_unique<Datastructure>();
    Datastructure& table = *owned;
    CapturedOutput output;
    const auto refusing = [](const std::string*, std::uint32_t,
                             std::uint32_t) { throw std::bad_alloc(); };
    table.watch(refusing);
    EXPECT_THROW(table.add(SHARED_A, "s", 1, "n"), std::bad_alloc);  // head
    table.watch({});
    table.add(SHARED_B, "s", 5, "n");  // the head is blank, and takes it
    table.watch(refusing);
    // Every other kind of change: appended, units, used up, put, emptied.
    EXPECT_THROW(table.add(SHARED_C, "s", 1, "n"), std::bad_alloc);
    EXPECT_THROW(table.add(SHARED_B, "s", 1, "n"), std::bad_alloc);
    EXPECT_THROW(table.substract(SHARED_B, 5), std::bad_alloc);
    EXPECT_THROW(table.put(SHARED_B, "other", 9, "other"), std::bad_alloc);
    EXPECT_THROW(table.empty(), std::bad_alloc);
    table.watch({});
    EXPECT_EQ(table.count(), 1u);
    EXPECT_EQ(table.maara(static_cast<std::int32_t>(table.hashString(SHARED_B))),
              1);
    output.take();
    for (const std::string& id : {SHARED_A, SHARED_B, SHARED_C}) {
        table.find(id);
    }
    EXPECT_EQ(output.take(), "Product not in warehouse.\nn 5 s\n"
                             "Product not in warehouse.\n");
}

TEST(TableWatcher, LookUpShowsAProductAsItIsNow)
{
    auto owned = std::make_unique<Datastructure>();
    Datastructure& table = *owned;
    CapturedOutput output;
    table.add(SHARED_A, "s", 5, "n");
    table.substract(SHARED_A, 5);
    table.add(SHARED_C, "shelf", 3, "name");
    std::string seen;
    EXPECT_TRUE(table.lookUp(
        SHARED_C, [&seen](const std::string& id, const std::string& shelf,
                          std::uint32_t amount, const std::string& name) {
            seen = id + ';' + std::to_string(amount) + ';' + shelf + ';' + name;
        }));
    EXPECT_EQ(seen, SHARED_C + ";3;shelf;name");
    EXPECT_FALSE(table.lookUp(SHARED_A, [](auto&, auto&, auto, auto&) {
        ADD_FAILURE() << "a used-up product was shown";
    }));
}
