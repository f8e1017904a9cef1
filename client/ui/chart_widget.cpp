#include "client/ui/chart_widget.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "client/client_controller.h"
#include "client/format.h"

namespace quarvent {
namespace {

const QColor kReceived(31, 119, 180);
const QColor kSent(255, 127, 14);
const QColor kP50(44, 160, 44);
const QColor kP99(214, 39, 40);
const QColor kGrid(224, 224, 224);
const QColor kBand(244, 246, 250);

// The report's units: MB/s above 1,048,576 bytes per second, KB/s below.
struct RateUnit {
  double divisor;
  const char* name;
};
RateUnit UnitFor(double maxRate) {
  return maxRate > 1048576.0 ? RateUnit{1048576.0, "MB/s"} : RateUnit{1024.0, "KB/s"};
}

// A step of 1, 2 or 5 times a power of ten that cuts span into about count parts.
double NiceStep(double span, int count) {
  const double raw = span / count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  return (norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 5 ? 5 : 10) * magnitude;
}

// A step of whole seconds, minutes or hours for the time axis.
double TimeStep(double span, int count) {
  static constexpr double kSteps[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                      600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
  const double raw = span / count;
  if (raw < 1) return NiceStep(span, count);
  for (const double step : kSteps)
    if (step >= raw) return step;
  return NiceStep(span, count);
}

// Decimals that tell the ticks of a step apart.
int Decimals(double step) {
  return std::clamp(static_cast<int>(-std::floor(std::log10(step) + 1e-9)), 0, 6);
}

QString TimeLabel(double seconds, double step) {
  if (step < 60) return QString::number(seconds, 'f', Decimals(step));
  const int64_t s = std::llround(seconds);
  char text[32];
  FormatElapsed(text, sizeof text, static_cast<int>(s / 86400), static_cast<int>(s / 3600 % 24),
                static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
  return QString::fromLatin1(text);
}

QString PatternLabel(const ChartRun& run) {
  const std::string_view entry = PatternEntryText(run.pattern);
  return QStringLiteral("#%1 %2")
      .arg(run.pattern)
      .arg(QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size())).simplified());
}

// One plot of the chart: a value range drawn into an area against the
// shared time range.
struct Plot {
  QRect area;
  double x0, x1, yMax;

  double X(double t) const { return area.left() + (t - x0) / (x1 - x0) * area.width(); }
  double Y(double v) const { return area.bottom() - v / yMax * area.height(); }
};

// The value axis: grid lines, tick labels and the title above it.
void DrawValueAxis(QPainter& p, const Plot& plot, double step, const QString& title, int lift) {
  const QFontMetrics fm = p.fontMetrics();
  const int decimals = Decimals(step);
  for (int i = 0;; ++i) {
    const double v = i * step;
    if (v > plot.yMax * (1 + 1e-9) || i > 50) break;
    const int y = static_cast<int>(std::lround(plot.Y(v)));
    p.setPen(kGrid);
    p.drawLine(plot.area.left(), y, plot.area.right(), y);
    p.setPen(Qt::black);
    const QString label = QString::number(v, 'f', decimals);
    p.drawText(QRect(0, y - fm.height() / 2, plot.area.left() - 6, fm.height()),
               Qt::AlignRight | Qt::AlignVCenter, label);
  }
  p.drawText(QPoint(8, plot.area.top() - fm.descent() - 4 - lift), title);
}

// The time axis's grid lines, and its tick labels when labels is set.
void DrawTimeAxis(QPainter& p, const Plot& plot, double step, bool labels) {
  const QFontMetrics fm = p.fontMetrics();
  const double first = std::ceil(plot.x0 / step - 1e-9) * step;
  for (int i = 0; i < 200; ++i) {
    const double t = first + i * step;
    if (t > plot.x1 + 1e-9) break;
    const int x = static_cast<int>(std::lround(plot.X(t)));
    p.setPen(kGrid);
    p.drawLine(x, plot.area.top(), x, plot.area.bottom());
    if (!labels) continue;
    p.setPen(Qt::black);
    p.drawLine(x, plot.area.bottom(), x, plot.area.bottom() + 3);
    const QString label = TimeLabel(t, step);
    const int w = fm.horizontalAdvance(label);
    p.drawText(QPoint(x - w / 2, plot.area.bottom() + 4 + fm.ascent()), label);
  }
}

// The line of a series: solid, or dashed where it may lie on another.
QPen Pen(const QColor& color, bool dashed) {
  QPen pen(color, dashed ? 1.5 : 2.2, dashed ? Qt::DashLine : Qt::SolidLine, Qt::RoundCap,
           Qt::RoundJoin);
  return pen;
}

// The entries of a legend in one row, each with its line: on the plot's
// title row (lift as for DrawValueAxis), flush right, clear of the data.
struct LegendEntry {
  QColor color;
  bool dashed;
  QString text;
};
void DrawLegend(QPainter& p, const Plot& plot, int lift, const QList<LegendEntry>& entries) {
  const QFontMetrics fm = p.fontMetrics();
  const int baseline = plot.area.top() - fm.descent() - 4 - lift;
  const int lineY = baseline - fm.ascent() / 2 + 1;
  int x = plot.area.right();
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    x -= fm.horizontalAdvance(it->text);
    p.setPen(Qt::black);
    p.drawText(QPoint(x, baseline), it->text);
    x -= 24;
    p.setPen(Pen(it->color, it->dashed));
    p.drawLine(x, lineY, x + 18, lineY);
    x -= 14;
  }
}

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
    if (point.endS <= point.startS || !value(point, &v)) {
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

}  // namespace

void DrawChart(QPainter& p, const QRect& rect, const ChartHistory& history) {
  p.save();
  p.fillRect(rect, Qt::white);
  p.setRenderHint(QPainter::Antialiasing, true);
  const QFontMetrics fm = p.fontMetrics();
  const std::vector<ChartRun>& runs = history.Runs();

  // The time range: from the oldest point kept to the end of the last run,
  // at least 10 s wide.
  double x0 = history.EndS();
  double maxRate = 0, maxRtt = 0;
  bool anyRtt = false;
  for (const ChartRun& run : runs) {
    x0 = std::min(x0, run.points.empty() ? run.offsetS : run.points.front().startS);
    for (const ChartPoint& point : run.points) {
      maxRate = std::max({maxRate, point.receivedRate, point.sentRate});
      if (point.hasRtt) {
        anyRtt = true;
        maxRtt = std::max(maxRtt, point.rttP99Ms);
      }
    }
  }
  const double x1 = std::max(history.EndS(), x0 + 10);

  const int left = rect.left() + 78, right = rect.right() - 16;
  const int top = rect.top() + 3 * fm.height() + 18, bottom = rect.bottom() - 2 * fm.height() - 14;
  const int gap = 2 * fm.height() + 16;
  const int rateH = anyRtt ? (bottom - top - gap) * 3 / 5 : bottom - top;
  Plot rate{QRect(left, top, right - left, rateH), x0, x1, 1};
  const RateUnit unit = UnitFor(maxRate);
  const double rateStep = NiceStep(std::max(maxRate / unit.divisor, 1.0), 4);
  rate.yMax = std::ceil(std::max(maxRate / unit.divisor, 1.0) / rateStep - 1e-9) * rateStep;
  const double timeStep = TimeStep(x1 - x0, std::max(2, rate.area.width() / 90));

  // The bands of the runs, each marked with its pattern.
  for (size_t i = 0; i < runs.size(); ++i) {
    const ChartRun& run = runs[i];
    const double from = std::max(run.offsetS, x0), to = run.offsetS + run.lengthS;
    if (to <= from && !(i + 1 == runs.size())) continue;
    const int a = static_cast<int>(std::lround(rate.X(from)));
    const int b = std::max(a + 1, static_cast<int>(std::lround(rate.X(std::min(to, x1)))));
    if (i % 2 == 1)
      p.fillRect(QRect(a, top - 2 * fm.height() - 8, b - a, bottom - top + 2 * fm.height() + 8),
                 kBand);
    // The label may run on to where the next run's band begins.
    const int room =
        (i + 1 < runs.size() ? static_cast<int>(std::lround(rate.X(runs[i + 1].offsetS)))
                             : rate.area.right()) -
        a - 4;
    p.setPen(Qt::darkGray);
    // The whole entry where it fits, else as much of it as fits after its
    // number, else the number alone.
    const QString number = QStringLiteral("#%1").arg(run.pattern);
    QString label = fm.elidedText(PatternLabel(run), Qt::ElideRight, std::max(room, 0));
    if (label.size() <= number.size() + 2) label = number;
    p.drawText(QRect(a + 2, top - 2 * fm.height() - 6, std::max(room, 0), fm.height()),
               Qt::AlignLeft, label);
    // Below it, the mean receive throughput of what is drawn of the run.
    double bytes = 0, seconds = 0;
    for (const ChartPoint& point : run.points) {
      bytes += static_cast<double>(point.bytesReceived);
      seconds += point.endS - point.startS;
    }
    if (seconds > 0) {
      // Three or four digits: enough to compare, short enough for a band.
      const double value = bytes / seconds / unit.divisor;
      const QString mean = QStringLiteral("平均 %1").arg(value, 0, 'f',
                                                         value >= 100  ? 0
                                                         : value >= 10 ? 1
                                                                       : 2);
      p.drawText(QRect(a + 2, top - fm.height() - 4, std::max(room, 0), fm.height()), Qt::AlignLeft,
                 fm.elidedText(mean, Qt::ElideRight, std::max(room, 0)));
    }
  }

  DrawValueAxis(p, rate, rateStep,
                QStringLiteral("スループット [%1]").arg(QString::fromLatin1(unit.name)),
                2 * fm.height() + 6);
  DrawTimeAxis(p, rate, timeStep, !anyRtt);
  const double divisor = unit.divisor;
  // Sent after received and dashed: in request and response they are equal.
  for (const ChartRun& run : runs) {
    DrawSeries(p, rate, run, Pen(kReceived, false), [divisor](const ChartPoint& point, double* v) {
      *v = point.receivedRate / divisor;
      return true;
    });
    DrawSeries(p, rate, run, Pen(kSent, true), [divisor](const ChartPoint& point, double* v) {
      *v = point.sentRate / divisor;
      return true;
    });
  }
  p.setPen(Qt::black);
  p.drawRect(rate.area);
  // The legend tells the latest interval's values.
  const ChartPoint* latest = nullptr;
  for (const ChartRun& run : runs)
    for (const ChartPoint& point : run.points)
      if (point.endS > point.startS) latest = &point;
  const auto rateText = [&](const char* name, double value) {
    return latest == nullptr ? QString::fromUtf8(name)
                             : QStringLiteral("%1  %2 %3")
                                   .arg(QString::fromUtf8(name))
                                   .arg(value / divisor, 0, 'f', 2)
                                   .arg(QString::fromLatin1(unit.name));
  };
  DrawLegend(p, rate, 2 * fm.height() + 6,
             {{kReceived, false, rateText("受信", latest ? latest->receivedRate : 0)},
              {kSent, true, rateText("送信", latest ? latest->sentRate : 0)}});

  Plot last = rate;
  if (anyRtt) {
    Plot rtt{QRect(left, rate.area.bottom() + gap, right - left, bottom - rate.area.bottom() - gap),
             x0, x1, 1};
    const double rttStep = NiceStep(std::max(maxRtt, 1e-3), 3);
    rtt.yMax = std::ceil(std::max(maxRtt, 1e-3) / rttStep - 1e-9) * rttStep;
    DrawValueAxis(p, rtt, rttStep, QStringLiteral("往復時間 [ms]"), 0);
    DrawTimeAxis(p, rtt, timeStep, true);
    for (const ChartRun& run : runs) {
      DrawSeries(p, rtt, run, Pen(kP99, false), [](const ChartPoint& point, double* v) {
        *v = point.rttP99Ms;
        return point.hasRtt;
      });
      DrawSeries(p, rtt, run, Pen(kP50, false), [](const ChartPoint& point, double* v) {
        *v = point.rttP50Ms;
        return point.hasRtt;
      });
    }
    p.setPen(Qt::black);
    p.drawRect(rtt.area);
    const bool latestRtt = latest != nullptr && latest->hasRtt;
    const auto rttText = [latestRtt](const char* name, double value) {
      return latestRtt ? QStringLiteral("%1  %2 ms").arg(QLatin1String(name)).arg(value, 0, 'f', 3)
                       : QString::fromLatin1(name);
    };
    DrawLegend(p, rtt, 0,
               {{kP50, false, rttText("p50", latestRtt ? latest->rttP50Ms : 0)},
                {kP99, false, rttText("p99", latestRtt ? latest->rttP99Ms : 0)}});
    last = rtt;
  }
  p.setPen(Qt::black);
  const QString timeTitle =
      timeStep < 60 ? QStringLiteral("経過時間 [秒]") : QStringLiteral("経過時間");
  p.drawText(QRect(left, last.area.bottom() + fm.height() + 8, right - left, fm.height() + 4),
             Qt::AlignHCenter, timeTitle);
  if (history.PointCount() == 0) {
    p.setPen(Qt::darkGray);
    p.drawText(rate.area, Qt::AlignCenter, QStringLiteral("測定データはまだありません"));
  }
  p.restore();
}

CChartWidget::CChartWidget(const ChartHistory& history, QWidget* parent)
    : QWidget(parent), m_history(history) {
  setObjectName(QStringLiteral("chart"));
  setAttribute(Qt::WA_OpaquePaintEvent);
  m_redraw.setSingleShot(true);
  connect(&m_redraw, &QTimer::timeout, this, [this] {
    if (isVisible()) update();
  });
}

void CChartWidget::HistoryChanged() {
  if (!m_redraw.isActive()) m_redraw.start(kRedrawDelayMs);
}

QImage CChartWidget::Render() const {
  QImage image(size(), QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setFont(font());
  DrawChart(painter, image.rect(), m_history);
  return image;
}

void CChartWidget::paintEvent(QPaintEvent* /*event*/) {
  ++m_nPaints;
  QPainter painter(this);
  DrawChart(painter, rect(), m_history);
}

}  // namespace quarvent
