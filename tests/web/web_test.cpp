// Unit tests of the owner's view's own parts: finding a text in any case,
// text that is not UTF-8, addresses, CSV cells, local days, the chart, the
// worth's cents in 128 bits, and what the door makes of a request's head.
#include "store/history_entry.hh"
#include "web/chart.hh"
#include "web/csv.hh"
#include "web/gate.hh"
#include "web/local_time.hh"
#include "web/search.hh"
#include "web/text.hh"
#include "web/wide_cents.hh"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

struct Found {
    const char* text;
    const char* field;
    bool holds;
};

TEST(Search, FoldsCaseOneCharacterAtATime)
{
    const Found cases[] = {
        {"", "anything", true},
        {"salmi", "SALMIAKKI", true},
        {"KKI", "Salmiakki", true},
        {"äkä", "ÄKÄINEN", true},          // two bytes each
        {"ÄKÄ", "äkäinen", true},
        {"жук", "ЖУК", true},              // Cyrillic
        {"i", "İ", true},                  // U+0130 lowers to a plain i
        {"ss", "ß", false},                // one letter to one letter only
        {"a", "Ä", false},                 // no accents dropped
        {"\xff", "bad\xff", true},         // a byte that is not UTF-8, as it is
        {"\xc3", "Ä", false},              // half a character finds nothing
        {"peber", "Tyrkisk Peber", true},
        {"pebr", "Tyrkisk Peber", false},
    };
    for (const Found& found : cases) {
        Search search(found.text);
        EXPECT_EQ(search.matches("", "", found.field), found.holds)
            << "'" << found.text << "' in '" << found.field << "'";
    }
}

TEST(Search, LooksInTheIdTheShelfAndTheName)
{
    Search search("x");
    EXPECT_TRUE(search.matches("X:1", "1.00", "a"));
    EXPECT_TRUE(search.matches("A:1", "x.00", "a"));
    EXPECT_TRUE(search.matches("A:1", "1.00", "aX"));
    EXPECT_FALSE(search.matches("A:1", "1.00", "a"));
}

struct Shown {
    const char* bytes;
    const char* shown;
};

TEST(ShownText, KeepsUtf8AndEscapesTheRest)
{
    const Shown cases[] = {
        {"Äkäinen €1", "Äkäinen €1"},
        {"bad\xfe name", "bad\\xFE name"},
        {"\xc0\x80", "\\xC0\\x80"},              // an overlong NUL
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},     // a surrogate
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // past U+10FFFF
        {"cut \xe2\x82", "cut \\xE2\\x82"},      // a character cut short
        {"tab\there", "tab\\x09here"},
        {"\x7f", "\\x7F"},
        {"\xf0\x9f\x8d\xac", "\xf0\x9f\x8d\xac"},  // four bytes
        {"a\xc2\x85" "b", "a\\u0085b"},            // a C1 control
        {"ab\xe2\x80\xae" "cd", "ab\\u202Ecd"},      // turns the text around
        {"x\xe2\x80\x8by", "x\\u200By"},          // no width
        {"\xef\xbb\xbf.", "\\uFEFF."},            // a byte order mark
        {"\xc2\xa0\xc2\xa9", "\xc2\xa0\xc2\xa9"},  // seen: no-break space, (c)
    };
    for (const Shown& shown : cases) {
        EXPECT_EQ(shownText(shown.bytes), shown.shown) << shown.shown;
    }
}

TEST(Addresses, EncodeEveryByteButLettersDigitsAndAFewMarks)
{
    const Shown cases[] = {
        {"GUM:31415926:1007:961", "GUM:31415926:1007:961"},
        {"SLASH/1", "SLASH%2F1"},
        {"Q?x#y&z=1", "Q%3Fx%23y%26z%3D1"},
        {"DOT.csv", "DOT%2Ecsv"},
        {"PCT%41", "PCT%2541"},
        {"a b+c", "a%20b%2Bc"},
        {"Ä", "%C3%84"},
        {"\xff", "%FF"},
        {"-_~", "-_~"},
        {"LF\n1", "LF%0A1"},
    };
    for (const Shown& shown : cases) {
        EXPECT_EQ(percentEncoded(shown.bytes), shown.shown);
        EXPECT_EQ(percentDecoded(shown.shown), shown.bytes);
    }
    EXPECT_EQ(percentDecoded("%c3%a4"), "ä");
    for (const char* bad : {"%", "%4", "%zz", "a%g1", "%%"}) {
        EXPECT_FALSE(percentDecoded(bad)) << bad;
    }
}

TEST(Money, WholeCentsOfAnyLengthAsTheSameMoney)
{
    // The worth comes as digits, past what 64 bits hold; it reads as the
    // cents of 64 bits do.
    const std::pair<const char*, const char*> cases[] = {
        {"0", "0.00"},
        {"7", "0.07"},
        {"40", "0.40"},
        {"100", "1.00"},
        {"123456", "1234.56"},
        {"9223372036854775807", "92233720368547758.07"},
        {"792281624958175935069494968035", "7922816249581759350694949680.35"},
    };
    for (const auto& [cents, shown] : cases) {
        EXPECT_EQ(moneyOfDigits(cents), shown) << cents;
        const std::string digits(cents);
        if (digits.size() < 19) {
            EXPECT_EQ(money(std::stoll(digits)), shown) << cents;
        }
    }
}

TEST(CsvWriter, QuotesEveryTextAndDisarmsFormulas)
{
    // A spreadsheet reads an unquoted shelf such as 1-2 or 0012 as a date
    // or a number; quoted, it stays the text it is.
    const Shown cases[] = {
        {"plain", "\"plain\""},
        {"a,b", "\"a,b\""},
        {"Dumle \"toffee\"", "\"Dumle \"\"toffee\"\"\""},
        {"=SUM(A1:A9)", "\"'=SUM(A1:A9)\""},
        {"+1", "\"'+1\""},
        {"-1", "\"'-1\""},
        {"@cmd", "\"'@cmd\""},
        {"=1,2", "\"'=1,2\""},
        {"a=b", "\"a=b\""},
        {"0012", "\"0012\""},
        {"bad\xff", "\"bad\\xFF\""},
        {"line\nbreak", "\"line\\x0Abreak\""},
        {"", "\"\""},
    };
    for (const Shown& shown : cases) {
        std::string out;
        CsvWriter(out).text(shown.bytes).end();
        EXPECT_EQ(out, std::string(shown.shown) + "\r\n") << shown.bytes;
    }
    std::string out;
    CsvWriter line(out);
    line.number(-20).none().text("x").end();
    line.number(7).end();
    EXPECT_EQ(out, "-20,,\"x\"\r\n7\r\n");
}

/// A local day's bounds, in UTC, under a zone with summer time.
struct Day {
    const char* date;
    const char* from;  // nullptr: not a day
    const char* to;
};

class LocalTime : public ::testing::Test {
protected:
    // Helsinki's rules: UTC+2, and UTC+3 from the last Sunday of March to
    // the last Sunday of October, changing at 03:00 and 04:00 local time.
    void SetUp() override
    {
        const char* const zone = std::getenv("TZ");
        saved = zone != nullptr ? zone : "";
        hadZone = zone != nullptr;
        ::setenv("TZ", "EET-2EEST,M3.5.0/3,M10.5.0/4", 1);
        ::tzset();
    }
    void TearDown() override
    {
        if (hadZone) {
            ::setenv("TZ", saved.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::string saved;
    bool hadZone = false;
};

TEST_F(LocalTime, DaysRunFromLocalMidnightToMidnight)
{
    const Day cases[] = {
        {"2026-01-15", "2026-01-14 22:00:00.000", "2026-01-15 22:00:00.000"},
        {"2026-07-01", "2026-06-30 21:00:00.000", "2026-07-01 21:00:00.000"},
        {"2026-03-29", "2026-03-28 22:00:00.000", "2026-03-29 21:00:00.000"},  // 23 h
        {"2026-10-25", "2026-10-24 21:00:00.000", "2026-10-25 22:00:00.000"},  // 25 h
        {"2024-02-29", "2024-02-28 22:00:00.000", "2024-02-29 22:00:00.000"},
        {"2026-12-31", "2026-12-30 22:00:00.000", "2026-12-31 22:00:00.000"},
        {"2026-02-29", nullptr, nullptr},
        {"2026-13-01", nullptr, nullptr},
        {"2026-04-31", nullptr, nullptr},
        {"2026-4-01", nullptr, nullptr},
        {"2026-04-01x", nullptr, nullptr},
        {"20260401", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const Day& day : cases) {
        const auto bounds = localDay(day.date);
        ASSERT_EQ(bounds.has_value(), day.from != nullptr) << day.date;
        if (bounds) {
            EXPECT_EQ(bounds->from, day.from) << day.date;
            EXPECT_EQ(bounds->to, day.to) << day.date;
        }
    }
}

TEST_F(LocalTime, StoredTimesReadAsLocalTime)
{
    EXPECT_EQ(localTime("2026-07-01 12:00:00.123"), "2026-07-01 15:00:00");
    EXPECT_EQ(localTime("2026-12-31 22:30:00.000"), "2027-01-01 00:30:00");
    EXPECT_EQ(localTime("2026-01-01 00:00:00"), "2026-01-01 02:00:00");
    EXPECT_EQ(localTime("not a time"), "not a time");
    EXPECT_EQ(utcMilliseconds("1970-01-01 00:00:01.250"), 1250);
    EXPECT_FALSE(utcMilliseconds("1970-01-01 00:00:01.25"));
    EXPECT_EQ(dayAfter("2026-12-31", 1), "2027-01-01");
    EXPECT_EQ(dayAfter("2026-03-01", -1), "2026-02-28");
    EXPECT_EQ(dayAfter("2026-03-29", 1), "2026-03-30");
}

TEST(UnitsChart, StepsFromNothingToNow)
{
    // 120 units, then 100, over 10 seconds up to now.
    const Chart chart = unitsChart({{0, 120}, {5000, 100}}, 10000);
    EXPECT_EQ(chart.most, 120u);
    const std::string left = std::to_string(chart.left);
    const std::string right = std::to_string(chart.right);
    const std::string middle = std::to_string((chart.left + chart.right) / 2);
    const std::string top = std::to_string(chart.top);
    const std::string bottom = std::to_string(chart.bottom);
    const std::string at100 =
        std::to_string(chart.bottom - (chart.bottom - chart.top) * 100 / 120);
    EXPECT_EQ(chart.points, left + "," + bottom + " " + left + "," + top + " " +
                                middle + "," + top + " " + middle + "," + at100 +
                                " " + right + "," + at100);
    EXPECT_TRUE(unitsChart({}, 10000).points.empty());
    // A history of one moment, sold out: still a line across.
    const Chart sold = unitsChart({{0, 5}, {0, 0}}, 0);
    EXPECT_EQ(sold.points.substr(sold.points.rfind(' ') + 1),
              right + "," + bottom);
}

TEST(WideCents, ReadBackAsWrittenAndShownAsMoneyPastSixtyFourBits)
{
    // A lot's or a difference's worth is up to 2^32 - 1 units (a difference
    // below 0 too) times a cost of up to 2^63 - 1 cents, and sums of them;
    // the kept worth is read back from its text, changed and written again.
    // Each is written as digits that read back as the same cents, and shown
    // as the same money.
    constexpr std::int64_t MOST_CENTS = INT64_MAX;
    const WideCents most = ~(WideCents(1) << 127);  // 2^127 - 1
    const WideCents past64 = WideCents(~0ULL) * 4294967295 + 12345;
    const struct {
        WideCents cents;
        const char* digits;
        const char* money;
    } written[] = {
        {0, "0", "0.00"},
        {7, "7", "0.07"},
        {-50, "-50", "-0.50"},
        {-21, "-21", "-0.21"},
        {WideCents(2) * MOST_CENTS, "18446744073709551614", "184467440737095516.14"},
        {WideCents(-4294967295) * MOST_CENTS, "-39614081247908796755622232065",
         "-396140812479087967556222320.65"},
        {past64, "79228162495817593515539443770", "792281624958175935155394437.70"},
        {most / 10, "17014118346046923173168730371588410572",
         "170141183460469231731687303715884105.72"},
    };
    for (const auto& one : written) {
        EXPECT_EQ(decimalOf(one.cents), one.digits);
        EXPECT_EQ(wideCentsOf(one.digits), std::optional<WideCents>(one.cents)) << one.digits;
        EXPECT_EQ(wideMoney(one.cents), one.money) << one.digits;
    }
    EXPECT_EQ(moneyTimes(4294967295, MOST_CENTS), "396140812479087967556222320.65");
    for (const char* text : {"", "-", "1.5", "+3", "12a", " 1", "--1",
                             "123456789012345678901234567890123456789"}) {
        EXPECT_FALSE(wideCentsOf(text).has_value()) << text;
    }
}

}  // namespace

TEST(UnitsChart, TicksAtMinutesAndHoursWithinADayAndAtMidnightsAcrossWeeks)
{
    // The span of a history against the ticks its time axis gets: local
    // times (TZ is UTC here), the first, the last, and how many.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    struct Case {
        std::int64_t first;  // seconds
        std::int64_t now;
        const char* firstLabel;
        const char* lastLabel;
        std::size_t count;
    };
    constexpr std::int64_t DAY = 86400;
    constexpr std::int64_t START = 1796774400;  // 2026-12-09 00:00 UTC
    const Case cases[] = {
        {START + 9 * 3600 + 1210, START + 9 * 3600 + 1500, "09:21", "09:25", 5},
        {START + 9 * 3600 + 1200, START + 17 * 3600, "10:00", "17:00", 8},
        {START + 10, START + 40, "00:00:10", "00:00:40", 2},
        {START + 600, START + 23 * 3600, "03:00", "21:00", 7},
        {START + 3600, START + 20 * DAY, "12-10", "12-28", 7},
        {START - 70 * DAY, START, "09-30", "12-09", 6},
        {START - 800 * DAY, START, "2024-09-30", "2026-09-28", 5},
    };
    for (const Case& c : cases) {
        const Chart chart = unitsChart({{c.first * 1000, 5}}, c.now * 1000);
        ASSERT_EQ(chart.ticks.size(), c.count) << c.firstLabel;
        EXPECT_EQ(chart.ticks.front().label, c.firstLabel);
        EXPECT_EQ(chart.ticks.back().label, c.lastLabel);
        for (std::size_t i = 1; i < chart.ticks.size(); ++i) {
            EXPECT_LT(chart.ticks[i - 1].x, chart.ticks[i].x);
        }
        EXPECT_GE(chart.ticks.front().x, chart.left);
        EXPECT_LE(chart.ticks.back().x, chart.right);
        // Every label stays inside the frame, at 7 units a character
        // (12px text): the last one at the right edge is anchored at its
        // end rather than cut in half.
        for (const ChartTick& tick : chart.ticks) {
            const int width = static_cast<int>(tick.label.size()) * 7;
            const std::string anchor = tick.anchor;
            const int start = anchor == "end" ? tick.x - width
                              : anchor == "start" ? tick.x : tick.x - width / 2;
            EXPECT_GE(start, 0) << tick.label;
            EXPECT_LE(start + width, chart.width) << tick.label;
        }
    }
    ::unsetenv("TZ");
    ::tzset();
}

TEST(Gate, PassesAWholeHeadAndAnswersOneTooLongOrNotHttp)
{
    Gate::Limits limits;
    limits.line = 32;
    limits.head = 64;
    using V = Gate::Verdict;
    using F = Gate::Fault;
    const std::string longLine = "GET /" + std::string(40, 'a') + " HTTP/1.1\r\n\r\n";
    const std::string longHead = "GET / HTTP/1.1\r\nX-A: " + std::string(60, 'a') + "\r\n\r\n";
    const struct {
        std::string sent;
        V verdict;
        F fault;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", V::Pass, F::Malformed},
        {"\r\nGET /?q=1 HTTP/1.0\nHost:a\n\n", V::Pass, F::Malformed},
        {"GET / HTTP/1.1\r\nHost: a\r\n", V::Wait, F::Malformed},
        {"GET /aaaa", V::Wait, F::Malformed},
        {longLine, V::Refuse, F::LineTooLong},
        {longLine.substr(0, 34), V::Refuse, F::LineTooLong},
        {longHead, V::Refuse, F::HeadTooLong},
        {longHead.substr(0, 65), V::Refuse, F::HeadTooLong},
        {"GARBAGE\r\n\r\n", V::Refuse, F::Malformed},
        {"GET  / HTTP/1.1\r\n\r\n", V::Refuse, F::Malformed},
        {"GET / HTTP/2.0\r\n\r\n", V::Refuse, F::Version},
        {"GET / HTTX/1.1\r\n\r\n", V::Refuse, F::Malformed},
        {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", V::Refuse, F::Malformed},
        {"GET / HTTP/1.1\r\nHost: a\r\n b\r\n\r\n", V::Refuse, F::Malformed},
        {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", V::Refuse, F::Malformed},
    };
    for (const auto& one : cases) {
        F fault = F::Malformed;
        EXPECT_EQ(Gate::judge(one.sent, limits, fault), one.verdict) << one.sent;
        EXPECT_EQ(fault, one.fault) << one.sent;
    }
}
