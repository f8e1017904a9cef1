#include "client/ui/chart_axes.h"

#include <QFontMetrics>
#include <cstdint>

#include "client/format.h"

namespace quarvent::chart {

RateUnit UnitFor(double maxRate) {
  return maxRate > 1048576.0 ? RateUnit{1048576.0, "MB/s"} : RateUnit{1024.0, "KB/s"};
}

double NiceStep(double span, int count) {
  const double raw = span / count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  return (norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 5 ? 5 : 10) * magnitude;
}

double TimeStep(double span, int count) {
  static constexpr double kSteps[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                      600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
  const double raw = span / count;
  if (raw < 1) return NiceStep(span, count);
  for (const double step : kSteps)
    if (step >= raw) return step;
  return NiceStep(span, count);
}

int Decimals(double step) {
  return std::clamp(static_cast<int>(-std::floor(std::log10(step) + 1e-9)), 0, 6);
}

QString ShortNumber(double value) {
  if (value <= 0) return QStringLiteral("0");
  const int digits = static_cast<int>(std::floor(std::log10(value)));
  return QString::number(value, 'f', std::clamp(2 - digits, 0, 4));
}

namespace {

QString TimeLabel(double seconds, double step) {
  if (step < 60) return QString::number(seconds, 'f', Decimals(step));
  const int64_t s = std::llround(seconds);
  char text[32];
  FormatElapsed(text, sizeof text, static_cast<int>(s / 86400), static_cast<int>(s / 3600 % 24),
                static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
  return QString::fromLatin1(text);
}

void DrawValueTick(QPainter& p, const Plot& plot, double v, const QString& label) {
  const QFontMetrics fm = p.fontMetrics();
  const int y = static_cast<int>(std::lround(plot.Y(v)));
  p.setPen(kGrid);
  p.drawLine(plot.area.left(), y, plot.area.right(), y);
  p.setPen(Qt::black);
  p.drawText(QRect(0, y - fm.height() / 2, plot.area.left() - 6, fm.height()),
             Qt::AlignRight | Qt::AlignVCenter, label);
}

}  // namespace

void DrawValueAxis(QPainter& p, const Plot& plot, double step) {
  if (plot.log) {
    // Every power of ten, labelled; the 2 and 5 between them as grid alone.
    // Every power of ten, labelled, and the top; the 2 and 5 between them as
    // grid alone.
    const int lo = static_cast<int>(std::lround(std::log10(plot.yMin)));
    const int hi = static_cast<int>(std::floor(std::log10(plot.yMax) + 1e-9));
    for (int e = lo; e <= hi && e - lo <= 20; ++e) {
      const double v = std::pow(10.0, e);
      DrawValueTick(p, plot, v, QString::number(v, 'f', std::max(0, -e)));
      p.setPen(QPen(kGrid, 1, Qt::DotLine));
      for (const double m : {2.0, 5.0}) {
        if (m * v > plot.yMax * (1 + 1e-9)) break;
        const int y = static_cast<int>(std::lround(plot.Y(m * v)));
        p.drawLine(plot.area.left(), y, plot.area.right(), y);
      }
    }
    // The top's label only where it stays clear of the last power's.
    const double topPower = std::pow(10.0, hi);
    if (plot.yMax > topPower * (1 + 1e-9) &&
        plot.Y(topPower) - plot.Y(plot.yMax) >= p.fontMetrics().height())
      DrawValueTick(p, plot, plot.yMax, QString::number(plot.yMax, 'f', std::max(0, -hi)));
    return;
  }
  const int decimals = Decimals(step);
  for (int i = 0; i <= 50; ++i) {
    const double v = i * step;
    if (v > plot.yMax * (1 + 1e-9)) break;
    DrawValueTick(p, plot, v, QString::number(v, 'f', decimals));
  }
}

std::vector<TimeTick> EvenTimeTicks(double x0, double x1, int count, double* step) {
  *step = TimeStep(x1 - x0, count);
  std::vector<TimeTick> ticks;
  const double first = std::ceil(x0 / *step - 1e-9) * *step;
  for (int i = 0; i < 200; ++i) {
    const double t = first + i * *step;
    if (t > x1 + 1e-9) break;
    ticks.push_back({t, TimeLabel(t, *step)});
  }
  return ticks;
}

void DrawTimeAxis(QPainter& p, const Plot& plot, const std::vector<TimeTick>& ticks, bool labels,
                  std::vector<TimeTick>* drawn) {
  const QFontMetrics fm = p.fontMetrics();
  int labelEnd = plot.area.left() - fm.horizontalAdvance(u'0') * 4;
  for (const TimeTick& tick : ticks) {
    if (tick.t < plot.x0 - 1e-9 || tick.t > plot.x1 + 1e-9) continue;
    const int x = static_cast<int>(std::lround(plot.X(tick.t)));
    p.setPen(kGrid);
    p.drawLine(x, plot.area.top(), x, plot.area.bottom());
    if (!labels || tick.label.isEmpty()) continue;
    p.setPen(Qt::black);
    p.drawLine(x, plot.area.bottom(), x, plot.area.bottom() + 3);
    const int w = fm.horizontalAdvance(tick.label);
    if (x - w / 2 < labelEnd + 4) continue;  // would run into the one before
    p.drawText(QPoint(x - w / 2, plot.area.bottom() + 4 + fm.ascent()), tick.label);
    labelEnd = x - w / 2 + w;
    if (drawn != nullptr) drawn->push_back(tick);
  }
}

void DrawPauseMark(QPainter& p, const Plot& plot, double t) {
  const int x = static_cast<int>(std::lround(plot.X(t)));
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(QPen(Qt::gray, 1, Qt::DashLine));
  p.drawLine(x, plot.area.top(), x, plot.area.bottom());
  // Two slants across the axis line, on a white gap, as a broken axis is drawn.
  const int y = plot.area.bottom();
  p.fillRect(QRect(x - 4, y - 1, 8, 3), Qt::white);
  p.setPen(QPen(Qt::black, 1));
  p.drawLine(QPointF(x - 5, y + 4), QPointF(x - 1, y - 4));
  p.drawLine(QPointF(x + 1, y + 4), QPointF(x + 5, y - 4));
  p.restore();
}

QPen Pen(const QColor& color, bool dashed) {
  return QPen(color, dashed ? 1.5 : 2.2, dashed ? Qt::DashLine : Qt::SolidLine, Qt::RoundCap,
              Qt::RoundJoin);
}

void DrawLegend(QPainter& p, int right, int baseline, const QString& caption,
                const QList<LegendEntry>& entries) {
  const QFontMetrics fm = p.fontMetrics();
  const int lineY = baseline - fm.ascent() / 2 + 1;
  int x = right;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    x -= fm.horizontalAdvance(it->text);
    p.setPen(Qt::black);
    p.drawText(QPoint(x, baseline), it->text);
    x -= 24;
    p.setPen(Pen(it->color, it->dashed));
    p.drawLine(x, lineY, x + 18, lineY);
    x -= 14;
  }
  if (caption.isEmpty()) return;
  p.setPen(Qt::darkGray);
  p.drawText(QPoint(x + 6 - fm.horizontalAdvance(caption), baseline), caption);
}

}  // namespace quarvent::chart
