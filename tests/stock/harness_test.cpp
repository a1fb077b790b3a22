// Unit tests of the parts around the table that a transcript cannot
// isolate: the synthetic product generator, the memory peak probe, the
// console's word and line readers, the number parser, the stock file
// reader's report and take-back, the limited list and its next screen, and
// the search that ignores case.
#include "console/console.hh"
#include "console/console_input.hh"
#include "datastructure.hh"
#include "stock/benchmark.hh"
#include "stock/stock_file.hh"
#include "stock/stock_list.hh"
#include "stock/workload.hh"
#include "tests/captured_output.hh"
#include "util/caseless_search.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string TEMPLATE_TAIL = ":098765retfg:1212:965";

bool isAlphanumeric(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9');
}

TEST(Generator, IdsKeepTheTemplateShape)
{
    std::srand(20261208);
    std::string id;
    for (int i = 0; i < 20000; ++i) {
        drawGeneratedId(id);
        SCOPED_TRACE(id);
        ASSERT_EQ(id.size(), 24u);
        const std::string prefix = id.substr(0, 3);
        EXPECT_NE(prefix, "WIN");
        EXPECT_NE(std::string("LKS GUM SMK MIX SUK TIK VHT").find(prefix),
                  std::string::npos);
        int changed = 0;
        for (std::size_t p = 3; p < 24; ++p) {
            const char original = TEMPLATE_TAIL[p - 3];
            if (id[p] == original) {
                continue;
            }
            ++changed;
            EXPECT_GE(p, 4u);
            EXPECT_LE(p, 22u);
            EXPECT_NE(original, ':');
            if (p > 15) {
                EXPECT_TRUE(id[p] >= '1' && id[p] <= '9');
            } else {
                EXPECT_TRUE(isAlphanumeric(id[p]));
            }
        }
        EXPECT_LE(changed, 2);
    }
}

TEST(Generator, SameCountGivesSameProducts)
{
    auto table = std::make_unique<Datastructure>();
    CapturedOutput output;
    generate(*table, 5);
    const std::uint64_t kinds = table->count();
    generate(*table, 5);
    EXPECT_EQ(table->count(), kinds);

    // The seed is the count, so these are the ids both runs drew.
    std::map<std::string, int> draws;
    std::srand(5);
    std::string id;
    for (int i = 0; i < 5; ++i) {
        drawGeneratedId(id);
        ++draws[id];
    }
    EXPECT_EQ(draws.size(), kinds);
    for (const auto& [drawn, times] : draws) {
        output.take();
        table->find(drawn);
        EXPECT_EQ(output.take(),
                  "Tyrkisk Peber " + std::to_string(2000 * times) + " 8.97\n");
    }
}

TEST(Generator, ZeroAddsNothing)
{
    auto table = std::make_unique<Datastructure>();
    generate(*table, 0);
    EXPECT_EQ(table->count(), 0u);
}

TEST(MemoryProbe, ReportsThePeakInKilobytes)
{
    const MemoryPeak peak = mempeak();
    EXPECT_GT(peak.value, 0u);
    EXPECT_EQ(peak.unit, "kB");
    // The peak never falls, and a large allocation raises it.
    auto block = std::make_unique<char[]>(64 << 20);
    block[0] = 1;
    EXPECT_GE(mempeak().value, peak.value + (64 << 10));
}

// The console's readers must take the same bytes as the stream's own
// extractors and leave the stream in the same state, for any input: the
// transcripts depend on it byte for byte.
const char* const READER_INPUTS[] = {
    "",
    " ",
    "A",
    "A\n",
    "  A  B\n",
    "\tA\vB\fC\rD\n",
    "A GUM:1 3.25 10 Jenkki Purukumi\n",
    "F\n\nC",
    "x\xff\xc3\xa4 y",
    "E foo\n",
    "A a s 5\n",
    "A a s 5",
    "\n\n\n",
    "R\r\nC\n",
    "word",
    " \t\n",
    "A a s 5 \n",
};

// What a sequence of reads gave: each result and the stream's state after.
using Trace = std::vector<std::string>;

std::string state(const std::istream& in)
{
    return std::string(in.eof() ? "e" : "") + (in.fail() ? "f" : "") +
           (in.bad() ? "b" : "");
}

// Reads word, word, character, rest of line, word: the shape of "A".
template <typename Word, typename Line, typename Skip>
Trace readCommandShape(const std::string& input, Word word, Line line,
                       Skip skip)
{
    std::istringstream in(input);
    Trace trace;
    std::string text = "kept";
    for (int i = 0; i < 2; ++i) {
        word(in, text);
        trace.push_back(text + "|" + state(in));
    }
    skip(in);
    trace.push_back(state(in));
    line(in, text);
    trace.push_back(text + "|" + state(in));
    word(in, text);
    trace.push_back(text + "|" + state(in));
    trace.push_back(std::to_string(in.rdbuf()->in_avail()));
    return trace;
}

TEST(StreamReaders, TakeWhatTheExtractorsTake)
{
    for (const char* input : READER_INPUTS) {
        SCOPED_TRACE(input);
        const Trace expected = readCommandShape(
            input, [](std::istream& in, std::string& w) { in >> w; },
            [](std::istream& in, std::string& l) { std::getline(in, l); },
            [](std::istream& in) { in.get(); });
        const Trace actual = readCommandShape(
            input, [](std::istream& in, std::string& w) { readWord(in, w); },
            [](std::istream& in, std::string& l) { readRestOfLine(in, l); },
            [](std::istream& in) { skipCharacter(in); });
        EXPECT_EQ(actual, expected);
    }
}

TEST(StreamReaders, ReadNothingFromAStreamThatFailed)
{
    std::istringstream in("word");
    in.setstate(std::ios::failbit);
    std::string word = "kept";
    EXPECT_FALSE(readWord(in, word));
    readRestOfLine(in, word);
    EXPECT_EQ(word, "kept");
    EXPECT_EQ(in.rdbuf()->in_avail(), 4);
}

}  // namespace

TEST(Numbers, AClerkTypesPlainDigitsOnly)
{
    const std::pair<const char*, bool> typed[] = {
        {"5", true},   {"05", true},   {"0", true},     {"4294967295", true},
        {"+5", false}, {"5x", false},  {"5.5", false},  {"-3", false},
        {" 5", false}, {"", false},    {"4294967296", false},
        {"99999999999", false},
    };
    for (const auto& [text, whole] : typed) {
        std::uint32_t value = 7;
        EXPECT_EQ(parseWholeNumber(text, value) == NumberRead::Done, whole)
            << text;
        if (!whole) {
            EXPECT_EQ(value, 7u) << text << ": a refused number changed value";
        }
    }
}

// A stock text of 2000 lines: deliveries to a product in stock, new
// products, a delivery past the largest amount, and lines without an amount.
std::string mixedStockText()
{
    std::string text;
    for (int line = 1; line <= 2000; ++line) {
        if (line % 7 == 0) {
            text += "no amount here\n";
        } else if (line % 2 == 0) {
            text += "kept;3;s;n\n";
        } else {
            text += "new" + std::to_string(line) + ";" + std::to_string(line) +
                    ";t;m\n";
        }
    }
    return text + "full;1;s;n\n";
}

TEST(StockText, ALoadSaysWhatItSkippedAndAStoppedOneTakesEverythingBack)
{
    auto owned = std::make_unique<Datastructure>();
    Datastructure& table = *owned;
    CapturedOutput output;
    table.add("kept", "s", 10, "n");
    table.add("full", "s", 4294967295u, "n");
    const std::string before = [&table] {
        std::string stock;
        table.forEachProduct([&stock](auto& id, auto& shelf, auto amount,
                                      auto& name) {
            stock += id + ';' + std::to_string(amount) + ';' + shelf + ';' +
                     name + '\n';
        });
        return stock;
    }();

    // Stopped at the first look, after 1024 lines: all taken back.
    bool asked = false;
    const LoadReport stopped =
        readStockText(mixedStockText(), table, nullptr, [&asked] {
            asked = true;
            return true;
        });
    EXPECT_TRUE(asked);
    EXPECT_TRUE(stopped.stopped);
    std::string after;
    table.forEachProduct([&after](auto& id, auto& shelf, auto amount,
                                  auto& name) {
        after += id + ';' + std::to_string(amount) + ';' + shelf + ';' + name +
                 '\n';
    });
    EXPECT_EQ(after, before);
    EXPECT_EQ(table.count(), 2u);

    // Whole: 2001 lines, every seventh without an amount, named from the
    // first; the last one refused as too much, yet read.
    output.take();
    const LoadReport whole = readStockText(mixedStockText(), table);
    EXPECT_FALSE(whole.stopped);
    EXPECT_EQ(whole.skipped, 285u);
    EXPECT_EQ(whole.loaded, 2001u - 285u);
    EXPECT_EQ(std::vector<std::uint64_t>(std::begin(whole.firstSkipped),
                                         std::end(whole.firstSkipped)),
              (std::vector<std::uint64_t>{7, 14, 21, 28, 35}));
    EXPECT_EQ(output.take(), "Too much candy for one product.\n");
    output.take();
    table.find("kept");
    EXPECT_EQ(output.take(), "n " + std::to_string(10 + 3 * 858) + " s\n");
}

TEST(StockList, AScreenShowsTheFirstByIdAndTheNextGoesOnAfterIt)
{
    auto owned = std::make_unique<Datastructure>();
    Datastructure& table = *owned;
    CapturedOutput output;
    std::vector<std::string> ids;
    std::srand(20261209);
    for (int i = 0; i < 500; ++i) {
        ids.push_back("id" + std::to_string(std::rand() % 100000));
        table.add(ids.back(), "S", 1, i % 2 == 0 ? "Salmiakki" : "Gum");
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

    // Two screens of 7: each the next ids in order, and nothing else.
    std::string last;
    for (std::size_t screen = 0; screen < 2; ++screen) {
        output.take();
        const ListRest rest = listStock(
            table, {"", CaselessSearch::Letters::Ascii, 7,
                    screen == 0 ? nullptr : &last});
        std::istringstream lines(output.take());
        std::string line;
        for (std::size_t i = 7 * screen; i < 7 * screen + 7; ++i) {
            ASSERT_TRUE(std::getline(lines, line));
            EXPECT_EQ(line.substr(0, line.find(' ')), ids[i]);
        }
        EXPECT_FALSE(std::getline(lines, line)) << line;
        EXPECT_EQ(rest.more, ids.size() - 7 * screen - 7);
        EXPECT_EQ(rest.lastId, ids[7 * screen + 6]);
        last = rest.lastId;
    }

    // A text in any case matches the names that hold it, and nothing else.
    output.take();
    listStock(table, {"sALMI"});
    const std::string listed = output.take();
    EXPECT_NE(listed.find("Salmiakki"), std::string::npos);
    EXPECT_EQ(listed.find("Gum"), std::string::npos);
}

TEST(CaselessSearch, FoldsLettersAlikeOnBothSidesAndStrayBytesNot)
{
    struct Case {
        const char* text;
        const char* field;
        bool allLetters;  // found, folding every letter
        bool ascii;       // found, folding ASCII letters only
    };
    const Case cases[] = {
        {"salmi", "SALMIAKKI", true, true},
        {"", "anything", true, true},
        {"P\xC3\x84TK", "P\xC3\xA4tkis", true, false},     // Ä, ä
        {"\xCF\x83", "\xCE\xA3\xCE\x91", true, false},    // σ, ΣΑ
        {"\xCF\x82", "\xCE\xA3", true, false},              // ς, Σ
        {"k", "\xE2\x84\xAA", true, false},                  // k, Kelvin sign
        {"\xC3\x9F", "STRA\xE1\xBA\x9E" "E", true, false},  // ß, ẞ
        // Stray bytes match only the same stray bytes.
        {"a\xFF", "xA\xFF", true, true},
        {"\xFF", "\xFE", false, false},
        {"\xED\xA0\x80", "x\xED\xA0\x80", true, true},   // a surrogate
        {"\xFF", "\xF4\x90\x83\xBF", false, false},        // past Unicode
        {"\xA4", "\xC3\xA4", false, true},                   // inside ä
        // A character cut short is stray bytes, not the start of one.
        {"P\xC3", "P\xC3\xA4tkis", false, true},
        {"P\xC3", "xp\xC3", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " in " + c.field);
        CaselessSearch all(c.text, CaselessSearch::Letters::All);
        CaselessSearch ascii(c.text, CaselessSearch::Letters::Ascii);
        EXPECT_EQ(all.foundIn(c.field), c.allLetters);
        EXPECT_EQ(ascii.foundIn(c.field), c.ascii);
    }
}
