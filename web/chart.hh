// The chart of a product's units over time: where its lines go. The page's
// template draws it as SVG.
#ifndef WAREHOUSE_WEB_CHART_HH
#define WAREHOUSE_WEB_CHART_HH

#include <cstdint>
#include <string>
#include <vector>

/// The units a product had from a moment on.
struct ChartPoint {
    std::int64_t milliseconds;  // since 1970, UTC
    std::uint64_t units;
};

/// A mark on the time axis: where it is, and the local time it stands for,
/// "14:05" within a day or two, "12-09" across days and weeks, "2026-12-09"
/// across years.
struct ChartTick {
    int x = 0;
    std::string label;
    // How the label stands to x, as SVG's text-anchor: "middle", or "end"
    // near the frame's right edge, "start" near its left, so that the
    // whole label stays inside the frame.
    const char* anchor = "middle";
};

/// A step line in a frame of width by height: 0 units at the bottom of the
/// plot, the most at its top; the first point at its left, now at its right.
struct Chart {
    int width = 0;
    int height = 0;
    int left = 0, right = 0, top = 0, bottom = 0;  // the plot's edges
    int scaleX = 0;     // where the scale's labels end, left of the plot
    int topLabelY = 0;  // the baseline of the label of the most units
    int dateY = 0;      // the baseline of the dates below the plot
    std::string points;  // the polyline's "x,y x,y ..."
    std::uint64_t most = 0;  // units at the top
    std::vector<ChartTick> ticks;  // on the time axis, left to right
};

/// The chart of points, oldest first, up to now. Units before the first
/// point are 0. The time axis gets at most 8 ticks, at whole local
/// minutes, hours or midnights (TZ), as many apart as keeps them to that;
/// a history of less than a minute gets its two ends.
Chart unitsChart(const std::vector<ChartPoint>& points, std::int64_t now);

#endif
