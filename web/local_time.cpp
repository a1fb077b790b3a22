// The history's UTC times as moments, and local days.
#include "web/local_time.hh"

#include "store/history_entry.hh"

#include <cstdio>
#include <ctime>

namespace {

/// The number written in count digits at position at of text; -1 when
/// they are not all digits.
int digitsAt(std::string_view text, std::size_t at, std::size_t count)
{
    if (text.size() < at + count) {
        return -1;
    }
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

/// Reads the date "YYYY-MM-DD" at the start of text into moment.
bool readDate(std::string_view text, std::tm& moment)
{
    moment = std::tm{};
    const int year = digitsAt(text, 0, 4);
    const int month = digitsAt(text, 5, 2);
    const int day = digitsAt(text, 8, 2);
    if (year < 0 || month < 1 || day < 1 || text[4] != '-' || text[7] != '-') {
        return false;
    }
    moment.tm_year = year - 1900;
    moment.tm_mon = month - 1;
    moment.tm_mday = day;
    return true;
}

/// Reads a stored time, "YYYY-MM-DD HH:MM:SS" and perhaps ".SSS".
bool readStored(std::string_view text, std::tm& moment, int& milliseconds)
{
    if ((text.size() != 19 && text.size() != 23) || !readDate(text, moment) ||
        text[10] != ' ' || text[13] != ':' || text[16] != ':') {
        return false;
    }
    moment.tm_hour = digitsAt(text, 11, 2);
    moment.tm_min = digitsAt(text, 14, 2);
    moment.tm_sec = digitsAt(text, 17, 2);
    milliseconds = text.size() == 23 && text[19] == '.' ? digitsAt(text, 20, 3)
                   : text.size() == 19                  ? 0
                                                        : -1;
    return moment.tm_hour >= 0 && moment.tm_min >= 0 && moment.tm_sec >= 0 &&
           milliseconds >= 0;
}

std::string formatted(const std::tm& moment, const char* format)
{
    char text[40];
    return std::strftime(text, sizeof text, format, &moment) != 0 ? text : "";
}

}  // namespace

std::optional<std::int64_t> utcMilliseconds(const std::string& utc)
{
    std::tm moment{};
    int milliseconds = 0;
    if (!readStored(utc, moment, milliseconds)) {
        return std::nullopt;
    }
    return std::int64_t{::timegm(&moment)} * 1000 + milliseconds;
}

std::optional<DayBounds> localDay(std::string_view date)
{
    DayBounds bounds;
    if (!localDay(std::string(date), bounds.from, bounds.to)) {
        return std::nullopt;
    }
    return bounds;
}

std::string dayAfter(std::string_view date, int days)
{
    std::tm moment{};
    readDate(date, moment);
    moment.tm_mday += days;
    moment.tm_hour = 12;  // far from any change of the clocks
    moment.tm_isdst = -1;
    std::mktime(&moment);
    // Four digits of the year at least, as a day is written: the years
    // before 1000 too.
    char day[32];
    std::snprintf(day, sizeof day, "%04d-%02d-%02d", moment.tm_year + 1900,
                  moment.tm_mon + 1, moment.tm_mday);
    return day;
}

std::string today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return formatted(local, "%Y-%m-%d");
}
