// The chart of a product's units over time: the points of its lines.
#include "web/chart.hh"

#include <algorithm>
#include <ctime>
#include <utility>

namespace {

// The frame, in the SVG's own units; the plot leaves room on the left for
// the scale's labels and below for the dates.
constexpr int WIDTH = 640;
constexpr int HEIGHT = 180;
constexpr int LEFT = 70;
constexpr int RIGHT = WIDTH - 10;
constexpr int TOP = 10;
constexpr int BOTTOM = HEIGHT - 30;

constexpr std::int64_t HOUR = 3600;
constexpr std::int64_t DAY = 24 * HOUR;
constexpr std::int64_t MOST_TICKS = 8;

/// The steps between ticks, in seconds: minutes, hours, then days, then
/// weeks and more.
constexpr std::int64_t MINUTE = 60;
constexpr std::int64_t STEPS[] = {MINUTE, 5 * MINUTE, 10 * MINUTE, 15 * MINUTE, 30 * MINUTE, HOUR,    2 * HOUR, 3 * HOUR, 6 * HOUR,  12 * HOUR,
                                  DAY,     2 * DAY,  3 * DAY,  4 * DAY,   7 * DAY,  14 * DAY, 28 * DAY,
                                  91 * DAY, 182 * DAY, 364 * DAY, 728 * DAY, 1820 * DAY};

// About how wide a character of a tick's label is, in the SVG's units, at
// the size the page's style gives the chart's text.
constexpr int CHARACTER_WIDTH = 7;

/// A tick at x with its label anchored where the label fits in the frame.
ChartTick tickAt(int x, std::string label)
{
    const int half = static_cast<int>(label.size()) * CHARACTER_WIDTH / 2;
    const char* const anchor = x + half > WIDTH ? "end" : x - half < 0 ? "start" : "middle";
    return {x, std::move(label), anchor};
}

std::string format(std::time_t moment, const char* pattern)
{
    std::tm local{};
    ::localtime_r(&moment, &local);
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, pattern, &local));
}

/// The moments of the ticks from first to last (seconds), step apart: at
/// whole local hours a multiple of the step, or at local midnights.
std::vector<std::time_t> tickMoments(std::time_t first, std::time_t last, std::int64_t step)
{
    std::vector<std::time_t> moments;
    std::tm local{};
    ::localtime_r(&first, &local);
    local.tm_sec = 0;
    local.tm_isdst = -1;
    if (step < HOUR) {
        const int minutes = static_cast<int>(step / MINUTE);
        local.tm_min -= local.tm_min % minutes;
    } else if (step < DAY) {
        local.tm_min = 0;
        const int hours = static_cast<int>(step / HOUR);
        local.tm_hour -= local.tm_hour % hours;
    } else {
        local.tm_min = 0;
        local.tm_hour = 0;  // the first midnight from first on
        std::tm midnight = local;
        if (std::mktime(&midnight) < first) {
            ++local.tm_mday;
        }
    }
    const int days = static_cast<int>(step / DAY);
    for (int guard = 0; guard < 4 * MOST_TICKS; ++guard) {
        std::tm next = local;
        const std::time_t moment = std::mktime(&next);
        if (moment > last) {
            break;
        }
        if (moment >= first) {
            moments.push_back(moment);
        }
        // By the calendar, so that a tick stays at midnight or on the hour
        // across a change of the clocks.
        if (step < DAY) {
            local.tm_min += static_cast<int>(step / MINUTE);
        } else {
            local.tm_mday += days;
        }
        local.tm_isdst = -1;
    }
    return moments;
}

}  // namespace

Chart unitsChart(const std::vector<ChartPoint>& points, std::int64_t now)
{
    Chart chart;
    chart.width = WIDTH;
    chart.height = HEIGHT;
    chart.left = LEFT;
    chart.right = RIGHT;
    chart.top = TOP;
    chart.bottom = BOTTOM;
    chart.scaleX = LEFT - 6;
    chart.topLabelY = TOP + 10;
    chart.dateY = HEIGHT - 10;
    if (points.empty()) {
        return chart;
    }
    const std::int64_t first = points.front().milliseconds;
    // A history made within one moment still spans the plot.
    const std::int64_t span = std::max<std::int64_t>(now - first, 1);
    for (const ChartPoint& point : points) {
        chart.most = std::max(chart.most, point.units);
    }
    const double scale = chart.most == 0 ? 0.0 : double(BOTTOM - TOP) / double(chart.most);
    const auto x = [&](std::int64_t moment) {
        const std::int64_t clamped = std::clamp(moment, first, first + span);
        return LEFT + int(double(RIGHT - LEFT) * double(clamped - first) / double(span));
    };
    const auto y = [&](std::uint64_t units) {
        return BOTTOM - int(double(units) * scale);
    };
    const auto add = [&chart](int px, int py) {
        chart.points += chart.points.empty() ? "" : " ";
        chart.points += std::to_string(px) + "," + std::to_string(py);
    };
    std::uint64_t units = 0;
    for (const ChartPoint& point : points) {
        add(x(point.milliseconds), y(units));
        units = point.units;
        add(x(point.milliseconds), y(units));
    }
    add(RIGHT, y(units));
    const std::time_t from = static_cast<std::time_t>((first + 999) / 1000);
    const std::time_t to = static_cast<std::time_t>((first + span) / 1000);
    const std::int64_t seconds = std::max<std::int64_t>(to - from, 1);
    std::int64_t step = STEPS[0];
    for (const std::int64_t candidate : STEPS) {
        step = candidate;
        if (seconds / candidate < MOST_TICKS) {
            break;
        }
    }
    const char* const pattern = step < DAY ? "%H:%M" : seconds < 300 * DAY ? "%m-%d" : "%Y-%m-%d";
    for (const std::time_t moment : tickMoments(from, to, step)) {
        chart.ticks.push_back(tickAt(x(static_cast<std::int64_t>(moment) * 1000), format(moment, pattern)));
    }
    if (chart.ticks.empty()) {  // less than a minute: its two ends
        chart.ticks.push_back(tickAt(LEFT, format(from, "%H:%M:%S")));
        chart.ticks.push_back(tickAt(RIGHT, format(to, "%H:%M:%S")));
    }
    return chart;
}
