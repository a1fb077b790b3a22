// Unit tests of main.cpp's parts that a transcript cannot isolate: the
// synthetic product generator, the memory peak probe, and the console's
// word and line readers.
#include "captured_output.hh"
#include "datastructure.hh"
#include "benchmark.hh"
#include "console.hh"
#include "stock_file.hh"
#include "console_input.hh"
#include "workload.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
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
