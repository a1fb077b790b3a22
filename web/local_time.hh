// The history's UTC times as the owner's view reads them, beyond what every
// reader of the history does (store/history_entry.hh): as moments for the
// chart, and local days, their neighbours and today.
#ifndef WAREHOUSE_WEB_LOCAL_TIME_HH
#define WAREHOUSE_WEB_LOCAL_TIME_HH

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// A stored UTC time as milliseconds since 1970; none when it does not read
/// as one.
std::optional<std::int64_t> utcMilliseconds(const std::string& utc);

/// The UTC times at which a local day starts and the next one starts, in
/// the stored form.
struct DayBounds {
    std::string from;
    std::string to;
};

/// The bounds of the local day date, "YYYY-MM-DD", as the console's H
/// takes them; none when date is not a day of the calendar in that form.
std::optional<DayBounds> localDay(std::string_view date);

/// The local day "YYYY-MM-DD" that is days away from date, a valid day;
/// past the year 9999 its year has five digits.
std::string dayAfter(std::string_view date, int days);

/// Today, "YYYY-MM-DD", in local time.
std::string today();

#endif
