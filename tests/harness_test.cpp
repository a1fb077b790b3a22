// Unit tests of the benchmark harness: the synthetic product generator and
// the memory peak probe.
#include "captured_output.hh"
#include "datastructure.hh"
#include "main_functions.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

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

}  // namespace
