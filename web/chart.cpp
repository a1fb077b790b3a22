// The chart of a product's units over time: the points of its lines.
#include "web/chart.hh"

#include <algorithm>

namespace {

// The frame, in the SVG's own units; the plot leaves room on the left for
// the scale's labels and below for the dates.
constexpr int WIDTH = 640;
constexpr int HEIGHT = 180;
constexpr int LEFT = 70;
constexpr int RIGHT = WIDTH - 10;
constexpr int TOP = 10;
constexpr int BOTTOM = HEIGHT - 30;

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
    return chart;
}
