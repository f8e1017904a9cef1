// The pieces the chart is drawn with: value axes (linear or logarithmic),
// the time axis with its ticks, legends and the series lines. Plain painting
// helpers over QPainter; DrawChart (chart_widget.cpp) puts them together.
#pragma once

#include <QColor>
#include <QList>
#include <QPainter>
#include <QPen>
#include <QPolygonF>
#include <QRect>
#include <QString>
#include <algorithm>
#include <cmath>
#include <vector>

#include "client/ui/chart_history.h"

namespace quarvent::chart {

inline const QColor kReceived(31, 119, 180);
inline const QColor kSent(255, 127, 14);
inline const QColor kP50(44, 160, 44);
inline const QColor kP99(214, 39, 40);
inline const QColor kGrid(224, 224, 224);
inline const QColor kBand(244, 246, 250);

// The report's units: MB/s above 1,048,576 bytes per second, KB/s below.
struct RateUnit {
  double divisor;
  const char* name;
};
RateUnit UnitFor(double maxRate);

// A step of 1, 2 or 5 times a power of ten that cuts span into about count parts.
double NiceStep(double span, int count);
// A step of whole seconds, minutes or hours for the time axis.
double TimeStep(double span, int count);
// Decimals that tell the ticks of a step apart.
int Decimals(double step);
// A value with three significant digits (at most four decimals): short enough
// for a narrow band, fine enough to tell 0.09 from 0.94.
QString ShortNumber(double value);

// One plot of the chart: a value range drawn into an area against the
// shared time range. A logarithmic plot spans yMin..yMax (both powers of
// ten); values at or below yMin lie on its bottom edge.
struct Plot {
  QRect area;
  double x0 = 0, x1 = 1, yMin = 0, yMax = 1;
  bool log = false;

  double X(double t) const { return area.left() + (t - x0) / (x1 - x0) * area.width(); }
  double Y(double v) const {
    if (!log) return area.bottom() - std::min(v, yMax) / yMax * area.height();
    const double lo = std::log10(yMin), hi = std::log10(yMax);
    const double f = (std::log10(std::clamp(v, yMin, yMax)) - lo) / (hi - lo);
    return area.bottom() - f * area.height();
  }
};

// The value axis: grid lines and tick labels (every step on a linear plot,
// every power of ten on a logarithmic one).
void DrawValueAxis(QPainter& p, const Plot& plot, double step);

// A tick of the time axis and its label ("" draws the line alone).
struct TimeTick {
  double t;
  QString label;
};
// Evenly spaced ticks of whole seconds, minutes or hours over x0..x1.
std::vector<TimeTick> EvenTimeTicks(double x0, double x1, int count, double* step);
// The time axis's grid lines, and its tick labels when labels is set; labels
// that would run into the one before are left out.
// The labels drawn are added to drawn when it is given.
void DrawTimeAxis(QPainter& p, const Plot& plot, const std::vector<TimeTick>& ticks, bool labels,
                  std::vector<TimeTick>* drawn = nullptr);
// The mark of a pause between two runs at time t: a dashed line through the
// plot and two short slants across its time axis.
void DrawPauseMark(QPainter& p, const Plot& plot, double t);

// The line of a series: solid, or dashed where it may lie on another.
QPen Pen(const QColor& color, bool dashed);

// The entries of a legend in one row, each with its line, after a caption
// that says what the values are; flush right on the baseline.
struct LegendEntry {
  QColor color;
  bool dashed;
  QString text;
};
void DrawLegend(QPainter& p, int right, int baseline, const QString& caption,
                const QList<LegendEntry>& entries);

// One series of a run as a line through the middles of its intervals; a
// gap in it (no value) breaks the line. The values that fall on one pixel
// column become that column's lowest and highest, in the order they came:
// an hour of intervals costs no more to draw than the plot is wide. A
// series that dense is drawn with a thin line without antialiasing: wide
// smooth strokes along a thousand vertices would cost tens of milliseconds
// per redraw, the thin line under one.
template <class Value>
void DrawSeries(QPainter& p, const Plot& plot, const ChartRun& run, const QPen& pen, Value value) {
  const bool dense = static_cast<int64_t>(run.points.size()) * 2 > plot.area.width();
  QPen drawn(pen);
  if (dense) drawn.setWidthF(1);
  const double width = drawn.widthF();
  p.save();
  p.setPen(drawn);
  p.setRenderHint(QPainter::Antialiasing, !dense);
  QPolygonF line;
  double columnX = 0, lo = 0, hi = 0;
  int column = 0, count = 0, loAt = 0, hiAt = 0;
  const auto endColumn = [&] {
    if (count == 0) return;
    const bool lowFirst = loAt <= hiAt;
    line << QPointF(columnX, plot.Y(lowFirst ? lo : hi));
    if (lo != hi) line << QPointF(columnX, plot.Y(lowFirst ? hi : lo));
    count = 0;
  };
  const auto flush = [&] {
    endColumn();
    if (line.size() == 1) p.drawEllipse(line.front(), width, width);
    if (line.size() > 1) p.drawPolyline(line);
    line.clear();
  };
  for (const ChartPoint& point : run.points) {
    double v = 0;
    // Below a logarithmic axis's floor (a download's few requests) is off
    // the plot: a gap, not a line on the axis.
    if (point.endS <= point.startS || !value(point, &v) || (plot.log && v < plot.yMin)) {
      flush();
      continue;
    }
    v = std::min(v, plot.yMax);
    const double x = plot.X((point.startS + point.endS) / 2);
    const int c = static_cast<int>(std::floor(x));
    if (count > 0 && c == column) {
      if (v < lo) lo = v, loAt = count;
      if (v > hi) hi = v, hiAt = count;
      ++count;
      continue;
    }
    endColumn();
    column = c;
    columnX = x;
    lo = hi = v;
    loAt = hiAt = 0;
    count = 1;
  }
  flush();
  p.restore();
}

}  // namespace quarvent::chart
