// Unit tests of the catalogue's file and money: sums read exactly or refused
// with their reason, CSV cells quoted and split, a file checked line by
// line, and the changes a file makes.
#include "store/catalogue_file.hh"
#include "util/money.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <random>

TEST(Money, SumsAreReadExactlyWithAPointOrAComma)
{
    const struct {
        const char* text;
        std::int64_t cents;
    } good[] = {{"0", 0},          {"3", 300},          {"3.5", 350},
                {"3.50", 350},     {"3,50", 350},       {"0.01", 1},
                {"0,1", 10},       {"007.00", 700},     {"19.99", 1999},
                {"92233720368547758.07", std::numeric_limits<std::int64_t>::max()}};
    for (const auto& sum : good) {
        std::string why;
        EXPECT_EQ(parseCents(sum.text, why), sum.cents) << sum.text << ": " << why;
    }
}

TEST(Money, AWrongSumIsRefusedWithItsReason)
{
    const struct {
        const char* text;
        const char* why;
    } bad[] = {{"3.555", "more than two decimals"},
               {"0,001", "more than two decimals"},
               {"-1", "a price may not be negative"},
               {"-0.50", "a price may not be negative"},
               {"92233720368547758.08", "too large"},
               {"99999999999999999999", "too large"},
               {"", "not a sum of money such as 3.50"},
               {"3.", "not a sum of money such as 3.50"},
               {".50", "not a sum of money such as 3.50"},
               {"+3", "not a sum of money such as 3.50"},
               {" 3", "not a sum of money such as 3.50"},
               {"3.5.0", "not a sum of money such as 3.50"},
               {"1e3", "not a sum of money such as 3.50"},
               {"3,50,1", "not a sum of money such as 3.50"}};
    for (const auto& sum : bad) {
        std::string why;
        EXPECT_EQ(parseCents(sum.text, why), std::nullopt) << sum.text;
        EXPECT_EQ(why, sum.why) << sum.text;
    }
}

TEST(Money, CentsAreWrittenWithTwoDecimals)
{
    EXPECT_EQ(formatCents(0), "0.00");
    EXPECT_EQ(formatCents(5), "0.05");
    EXPECT_EQ(formatCents(350), "3.50");
    EXPECT_EQ(formatCents(123456), "1234.56");
    std::string why;
    for (const std::int64_t cents : {0LL, 1LL, 99LL, 100LL, 987654321LL}) {
        EXPECT_EQ(parseCents(formatCents(cents), why), cents);
    }
}

TEST(Csv, CellsAreQuotedOnlyWhenTheyMustBe)
{
    EXPECT_EQ(csvCell("Jenkki"), "Jenkki");
    EXPECT_EQ(csvCell(""), "");
    EXPECT_EQ(csvCell("3,50"), "\"3,50\"");
    EXPECT_EQ(csvCell("a \"b\""), "\"a \"\"b\"\"\"");
    EXPECT_EQ(csvCell("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(csvCell(" padded"), "\" padded\"");
}

TEST(Csv, WrittenCellsSplitBackToThemselves)
{
    const std::vector<std::string> cells = {"plain", "", "3,50", "say \"hi\"",
                                            "two\r\nlines", " x ", "\xc3\xa4"};
    std::string text;
    for (const std::string& cell : cells) {
        text += (text.empty() ? "" : ",") + csvCell(cell);
    }
    text += "\r\nnext,line\n";
    std::vector<CsvLine> lines;
    std::string problem;
    ASSERT_TRUE(splitCsv(text, lines, problem)) << problem;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].cells, cells);
    EXPECT_EQ(lines[0].line, 1u);
    EXPECT_EQ(lines[1].line, 3u);  // the line break inside a cell counts
    EXPECT_EQ(lines[1].cells, (std::vector<std::string>{"next", "line"}));
}

TEST(Csv, TextThatIsNoCsvIsRefused)
{
    for (const auto& [text, problem] :
         std::vector<std::pair<std::string, std::string>>{
             {"a,b\n\"open,c\n", "line 2: a quoted cell is not closed"},
             {"a,\"b\"c\n", "line 1: text after a quoted cell"}}) {
        std::vector<CsvLine> lines;
        std::string found;
        EXPECT_FALSE(splitCsv(text, lines, found)) << text;
        EXPECT_EQ(found, problem);
    }
}

TEST(CatalogueFile, EveryBadLineIsNamedWithItsReason)
{
    const CatalogueFile file = readCatalogueFile(
        "price,id,name,reorder_level,discontinued\n"
        "3.50,A,Good,5,yes\n"
        "3.555,B,x,,\n"
        ",A,again,,\n"
        "1,,no id,,\n"
        "1,C D,x,,\n"
        "1,E,x,-2,\n"
        "1,F,x,,maybe\n"
        "1,G,x\n"
        "\"3,50\",H,Fine,,no\n");
    EXPECT_EQ(file.problems, (std::vector<std::string>{
                                 "line 3: price '3.555': more than two decimals",
                                 "line 4: the id A again (first on line 2)",
                                 "line 5: no id",
                                 "line 6: an id is one word",
                                 "line 7: reorder_level '-2': not a whole number of units",
                                 "line 8: discontinued 'maybe': yes, no or empty",
                                 "line 9: 3 cells, the header names 5"}));
    ASSERT_EQ(file.rows.size(), 2u);
    EXPECT_EQ(file.rows[1].values.price, 350);
}

TEST(CatalogueFile, AWrongHeaderIsRefused)
{
    const std::pair<const char*, const char*> headers[] = {
        {"name,price\n", "line 1: no id column"},
        {"id,colour\n", "line 1: an unknown column 'colour'"},
        {"id,name,name\n", "line 1: the column name twice"},
        {"", "line 1: no header: the file is empty"}};
    for (const auto& [text, problem] : headers) {
        const CatalogueFile file = readCatalogueFile(text);
        ASSERT_EQ(file.problems.size(), 1u) << text;
        EXPECT_EQ(file.problems.front(), problem);
    }
}

TEST(CatalogueFile, OnlyTheColumnsItHoldsChange)
{
    std::vector<CatalogueRecord> records(2);
    records[0] = {"A", "Apple", "s1", 100, 50, 3, false};
    records[1] = {"C", "Cherry", "s3", std::nullopt, std::nullopt, std::nullopt, false};
    const CatalogueFile file = readCatalogueFile("id,price,name\nA,1.00,Apple\n"
                                                 "B,2,Banana\nC,,Sour cherry\n");
    ASSERT_TRUE(file.problems.empty());
    std::vector<std::string> changed;
    const std::vector<FieldChange> changes = applyCatalogueFile(file, records, changed);
    // A's price and name are as they were: A is not changed.
    EXPECT_EQ(changed, (std::vector<std::string>{"B", "C"}));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].cost, 50);
    EXPECT_EQ(records[1].id, "B");
    EXPECT_EQ(records[1].price, 200);
    EXPECT_EQ(records[1].shelf, "");
    EXPECT_EQ(records[2].name, "Sour cherry");
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].id, "B");
    EXPECT_EQ(changes[0].field, CatalogueField::Name);
    EXPECT_EQ(changes[0].before, std::nullopt);
    EXPECT_EQ(changes[0].after, "Banana");
    EXPECT_EQ(changes[1].field, CatalogueField::Price);
    EXPECT_EQ(changes[1].after, "2.00");
    EXPECT_EQ(changes[2].before, "Cherry");
    EXPECT_EQ(changes[2].after, "Sour cherry");
}

TEST(CatalogueFile, WrittenRecordsReadBackAsThemselves)
{
    std::vector<CatalogueRecord> records(2);
    records[0] = {"A", "Apple, red", "s1", 350, 1, 0, true};
    records[1] = {"B", "\"Best\"", "s2", std::nullopt, std::nullopt, 7, false};
    const std::string text = catalogueCsv(records);
    EXPECT_EQ(text, "id,name,shelf,price,cost,reorder_level,discontinued\r\n"
                    "A,\"Apple, red\",s1,3.50,0.01,0,yes\r\n"
                    "B,\"\"\"Best\"\"\",s2,,,7,\r\n");
    std::vector<std::string> changed;
    EXPECT_TRUE(applyCatalogueFile(readCatalogueFile(text), records, changed).empty());
    EXPECT_TRUE(changed.empty());
}

TEST(CatalogueFile, WhatASpreadsheetWouldRunIsWrittenInertAndReadBackAsItWas)
{
    // Each text, and the cell that a file written of it holds.
    const std::pair<std::string, std::string> cases[] = {
        {"=cmd|'/C calc'!A0", "'=cmd|'/C calc'!A0"},
        {"+1", "'+1"},
        {"-2+3", "'-2+3"},
        {"@SUM(1+1)", "'@SUM(1+1)"},
        {"\t=1+2", "'\t=1+2"},
        {"'=1", "''=1"},  // an apostrophe of its own stays
        {"''@x", "'''@x"},
        {"'quoted'", "'quoted'"},  // nothing a spreadsheet runs
        {"a=b", "a=b"},
    };
    for (const auto& [meant, cell] : cases) {
        // An id is one word: a text of spaces is a name alone.
        const bool word = meant.find_first_of(" \t") == std::string::npos;
        const std::string id = word ? meant : "plain";
        std::vector<CatalogueRecord> records(1);
        records[0] = {id, meant, "s", std::nullopt, std::nullopt, std::nullopt, false};
        const std::string text = catalogueCsv(records);
        const std::string line = text.substr(text.find("\r\n") + 2);
        EXPECT_EQ(line, csvCell(word ? cell : id) + "," + csvCell(cell) + ",s,,,,\r\n")
            << meant;
        std::vector<std::string> changed;
        std::vector<CatalogueRecord> read;
        const CatalogueFile file = readCatalogueFile(text);
        ASSERT_TRUE(file.problems.empty()) << meant;
        applyCatalogueFile(file, read, changed);
        ASSERT_EQ(read.size(), 1u);
        EXPECT_EQ(read[0].id, id);
        EXPECT_EQ(read[0].name, meant);
    }
}

TEST(CatalogueFile, ASpreadsheetsByteOrderMarkIsPassedOver)
{
    const CatalogueFile file = readCatalogueFile("\xEF\xBB\xBFid,price\r\nA,\"3,50\"\r\n");
    ASSERT_TRUE(file.problems.empty());
    ASSERT_EQ(file.rows.size(), 1u);
    EXPECT_EQ(file.rows[0].values.price, 350);
}

namespace {

/// The changes as text, to compare two lists of them whole.
std::string changesText(const std::vector<FieldChange>& changes)
{
    std::string text;
    for (const FieldChange& change : changes) {
        text += change.id + ' ' + std::string(fieldWord(change.field)) + ' ' +
                change.before.value_or("-") + ' ' + change.after.value_or("-") + '\n';
    }
    return text;
}

/// A file holding names and prices, of a row for each id, named after it.
CatalogueFile fileOf(const std::vector<std::string>& ids)
{
    CatalogueFile file;
    file.holds[static_cast<std::size_t>(CatalogueField::Name)] = true;
    file.holds[static_cast<std::size_t>(CatalogueField::Price)] = true;
    for (const std::string& id : ids) {
        CatalogueRecord values;
        values.id = id;
        values.name = "name of " + id;
        values.price = static_cast<std::int64_t>(id.size() * 7 + file.rows.size());
        file.rows.push_back({file.rows.size() + 2, std::move(values)});
    }
    return file;
}

}  // namespace

// New ids out of order, mixed with held ones and given twice, come out as
// they would one row at a time: the same records in order, the same
// changes, and the same ids changed in the same order.
TEST(CatalogueFile, NewRecordsInAnyOrderAddAsOneRowAtATimeWould)
{
    std::vector<CatalogueRecord> held;
    std::vector<std::string> ids;
    for (int number = 0; number < 400; ++number) {
        const std::string id = "p" + std::to_string(number * 7919 % 1000);
        if (number % 3 == 0) {
            held.push_back({id, "old", "s", 5, std::nullopt, std::nullopt, false});
        }
        ids.push_back(id);
    }
    std::sort(held.begin(), held.end(),
              [](const auto& left, const auto& right) { return left.id < right.id; });
    ids.push_back(ids[1]);  // new, and again
    ids.push_back(ids[2]);
    std::shuffle(ids.begin(), ids.end(), std::mt19937(20261211));
    const CatalogueFile file = fileOf(ids);

    std::vector<CatalogueRecord> oneByOne = held;
    std::vector<FieldChange> changesOneByOne;
    std::vector<std::string> changedOneByOne;
    for (const CatalogueFile::Row& row : file.rows) {
        CatalogueFile single = fileOf({});
        single.rows.push_back(row);
        const std::vector<FieldChange> changes =
            applyCatalogueFile(single, oneByOne, changedOneByOne);
        changesOneByOne.insert(changesOneByOne.end(), changes.begin(), changes.end());
    }
    std::vector<CatalogueRecord> whole = held;
    std::vector<std::string> changed;
    const std::vector<FieldChange> changes = applyCatalogueFile(file, whole, changed);
    EXPECT_EQ(catalogueCsv(whole), catalogueCsv(oneByOne));
    EXPECT_EQ(changesText(changes), changesText(changesOneByOne));
    EXPECT_EQ(changed, changedOneByOne);
}

// Many new ids in falling order are added about as fast as in rising
// order, which moves no record: put in place one at a time, each moved
// every record after it, and 40,000 took seconds where rising order took
// hundredths. Timed against rising order on the same machine, and with
// room to spare, so that a slow or busy machine passes alike.
TEST(CatalogueFile, ManyNewRecordsInFallingOrderAddAsFastAsInRisingOrder)
{
    constexpr int MANY = 40000;
    const auto secondsToAdd = [](bool falling) {
        std::vector<std::string> ids;
        for (int number = 1; number <= MANY; ++number) {
            ids.push_back("p" + std::to_string(1000000 + (falling ? MANY - number : number)));
        }
        const CatalogueFile file = fileOf(ids);
        std::vector<CatalogueRecord> records;
        std::vector<std::string> changed;
        const auto start = std::chrono::steady_clock::now();
        applyCatalogueFile(file, records, changed);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(records.size(), static_cast<std::size_t>(MANY));
        EXPECT_TRUE(std::is_sorted(records.begin(), records.end(),
                                   [](const auto& left, const auto& right) {
                                       return left.id < right.id;
                                   }));
        return took.count();
    };
    const double rising = secondsToAdd(false);
    const double falling = secondsToAdd(true);
    EXPECT_LT(falling, 5 * rising + 0.25) << "seconds, against " << rising << " in rising order";
}
