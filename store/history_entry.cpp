// Who made an entry of the history, and the history's times in UTC and in
// the local time.
#include "store/history_entry.hh"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace {

constexpr std::string_view ANOTHER_PROGRAM = "(another program)";

}  // namespace

std::string who(const HistoryEntry& entry)
{
    const std::string login = entry.clerk.value_or("");
    if (!entry.command) {  // the store may know who ran it
        return login.empty() ? std::string(ANOTHER_PROGRAM)
                             : login + ' ' + std::string(ANOTHER_PROGRAM);
    }
    if (entry.namedClerk && !entry.namedClerk->empty() &&
        *entry.namedClerk != login) {
        return *entry.namedClerk + " (" + login + ')';
    }
    return login;
}

std::string historyTime(const std::timespec& time)
{
    std::tm utc{};
    ::gmtime_r(&time.tv_sec, &utc);
    // Digit by digit: every command a run records takes its time, and
    // strftime and printf would cost more than the rest of recording it.
    std::string text = "0000-00-00 00:00:00.000";
    const auto put = [&text](std::size_t end, long value, int digits) {
        for (; digits > 0; --digits, value /= 10) {
            text[--end] = static_cast<char>('0' + value % 10);
        }
    };
    put(4, utc.tm_year + 1900L, 4);
    put(7, utc.tm_mon + 1, 2);
    put(10, utc.tm_mday, 2);
    put(13, utc.tm_hour, 2);
    put(16, utc.tm_min, 2);
    put(19, utc.tm_sec, 2);
    put(23, time.tv_nsec / 1000000, 3);
    return text;
}

std::string localTime(const std::string& utc)
{
    std::tm moment{};
    if (std::sscanf(utc.c_str(), "%d-%d-%d %d:%d:%d", &moment.tm_year,
                    &moment.tm_mon, &moment.tm_mday, &moment.tm_hour,
                    &moment.tm_min, &moment.tm_sec) != 6) {
        return utc;
    }
    moment.tm_year -= 1900;
    moment.tm_mon -= 1;
    const std::time_t seconds = ::timegm(&moment);
    std::tm local{};
    char text[32];
    if (::localtime_r(&seconds, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return utc;
    }
    return text;
}

bool localDay(const std::string& day, std::string& from, std::string& to)
{
    // Digits where digits go: sscanf would take a sign or a space for one.
    if (day.size() != 10 || day[4] != '-' || day[7] != '-' ||
        !std::all_of(day.begin(), day.end(), [&day](const char& c) {
            const auto at = &c - day.data();
            return at == 4 || at == 7 || (c >= '0' && c <= '9');
        })) {
        return false;
    }
    std::tm start{};
    std::sscanf(day.c_str(), "%4d-%2d-%2d", &start.tm_year, &start.tm_mon, &start.tm_mday);
    if (start.tm_year < 1) {
        return false;  // the calendar the stores write starts at the year 1
    }
    start.tm_year -= 1900;
    start.tm_mon -= 1;
    start.tm_isdst = -1;
    const std::tm asked = start;
    std::tm end = start;
    end.tm_mday += 1;
    const std::time_t first = std::mktime(&start);
    const std::time_t last = std::mktime(&end);
    // mktime() makes any date valid ("02-30" is "03-02"): a day it moved
    // was not a day of the calendar.
    if (first == -1 || last == -1 || start.tm_mday != asked.tm_mday ||
        start.tm_mon != asked.tm_mon || start.tm_year != asked.tm_year) {
        return false;
    }
    // The start of the calendar's first day may fall in the year 0 in UTC,
    // which no store takes: it is written as the start of the year 1.
    constexpr std::time_t YEAR_1 = -62135596800;  // 0001-01-01 00:00 UTC
    from = first < YEAR_1 ? "0001-01-01 00:00:00.000" : historyTime({first, 0});
    // The history writes a year in four digits. The end of the calendar's
    // last day may fall in the year 10000 in UTC: it is written as the end
    // of 9999's last day, after every time the history can hold, and a
    // time both kinds of store read.
    constexpr std::time_t YEAR_10000 = 253402300800;  // 10000-01-01 00:00 UTC
    to = last >= YEAR_10000 ? "9999-12-31 24:00:00.000" : historyTime({last, 0});
    return true;
}
