#include "client/ui/chart_widget.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "client/client_controller.h"
#include "client/ui/chart_axes.h"

namespace quarvent {

using namespace chart;

namespace {

// The entry's name without what it sends: "ﾀﾞｳﾝﾛｰﾄﾞ想定1 (4096バイト連続)"
// gives "ﾀﾞｳﾝﾛｰﾄﾞ想定1".
QString PatternEntry(int pattern) {
  const std::string_view entry = PatternEntryText(pattern);
  return QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size())).simplified();
}
QString PatternName(int pattern) {
  const QString entry = PatternEntry(pattern);
  qsizetype cut = entry.indexOf(u'(');
  if (cut < 0) cut = entry.indexOf(u'（');
  return cut < 0 ? entry : entry.left(cut).trimmed();
}

// The first of the candidates that fits width whole, else "": a band shows a
// shorter text rather than a cut one.
QString Fitting(const QFontMetrics& fm, const QStringList& candidates, int width) {
  for (const QString& text : candidates)
    if (fm.horizontalAdvance(text) <= width) return text;
  return {};
}

// Mean receive throughput of what is drawn of a run, bytes per second; 0 none.
double MeanReceived(const ChartRun& run) {
  double bytes = 0, seconds = 0;
  for (const ChartPoint& point : run.points) {
    bytes += static_cast<double>(point.bytesReceived);
    seconds += point.endS - point.startS;
  }
  return seconds > 0 ? bytes / seconds : 0;
}

// The bands of the runs, alternately shaded from top to bottom, each headed
// by two lines in its own width: the pattern (its number at least) and the
// mean receive throughput in the axis's unit. The left margin names the rows.
void DrawBands(QPainter& p, const Plot& rate, const std::vector<ChartRun>& runs, int top,
               int bottom, const RateUnit& unit, std::vector<ChartLayout::Band>* out) {
  const QFontMetrics fm = p.fontMetrics();
  const int h = fm.height();
  p.setPen(Qt::darkGray);
  const QRect margin(0, top, rate.area.left() - 6, h);
  p.drawText(margin, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("パターン"));
  p.drawText(margin.translated(0, h), Qt::AlignRight | Qt::AlignVCenter,
             QStringLiteral("受信平均"));
  for (size_t i = 0; i < runs.size(); ++i) {
    const ChartRun& run = runs[i];
    const double from = std::max(run.offsetS, rate.x0), to = run.offsetS + run.lengthS;
    if (to <= from && i + 1 != runs.size()) continue;
    const int a = static_cast<int>(std::lround(rate.X(from)));
    const int b = std::max(a + 1, static_cast<int>(std::lround(rate.X(std::min(to, rate.x1)))));
    if (i % 2 == 1) p.fillRect(QRect(a, top - 2, b - a, bottom - top + 2), kBand);
    const int room = b - a - 4;
    const QString number = QString::number(run.pattern);
    const QString label = Fitting(
        fm,
        {QStringLiteral("#%1 %2").arg(number, PatternEntry(run.pattern)),
         QStringLiteral("#%1 %2").arg(number, PatternName(run.pattern)), u'#' + number, number},
        room);
    p.setPen(Qt::darkGray);
    p.drawText(QRect(a, top, b - a, h), Qt::AlignHCenter | Qt::AlignVCenter, label);
    const double mean = MeanReceived(run);
    QString meanText;
    if (mean > 0) {
      const QString value = ShortNumber(mean / unit.divisor);
      meanText = Fitting(fm, {value + u' ' + QLatin1String(unit.name), value}, room);
      p.setPen(kReceived.darker(130));
      p.drawText(QRect(a, top + h, b - a, h), Qt::AlignHCenter | Qt::AlignVCenter, meanText);
    }
    if (out != nullptr)
      out->push_back({run.run, QRect(a, top, b - a, bottom - top), label, meanText,
                      fm.horizontalAdvance(label), fm.horizontalAdvance(meanText)});
  }
}

// The ticks of the time axis: in a sweep, the bands' boundaries (each run's
// start and the end of the last), labelled in whole seconds; else even steps.
std::vector<TimeTick> TimeTicks(const std::vector<ChartRun>& runs, double x0, double x1, int width,
                                double* step) {
  if (runs.size() < 2) return EvenTimeTicks(x0, x1, std::max(2, width / 90), step);
  *step = 1;
  std::vector<TimeTick> ticks;
  for (const ChartRun& run : runs)
    ticks.push_back({run.offsetS, QString::number(std::llround(run.offsetS))});
  const double end = runs.back().offsetS + runs.back().lengthS;
  ticks.push_back({end, QString::number(std::llround(end))});
  return ticks;
}

// The receive throughput's range: the largest of any series, the smallest
// above 0 of the received one (a download's few requests would otherwise
// stretch a logarithmic axis by decades nobody reads).
struct RateRange {
  double max = 0, minReceived = 0;
};
RateRange RangeOf(const std::vector<ChartRun>& runs) {
  RateRange r;
  for (const ChartRun& run : runs)
    for (const ChartPoint& point : run.points) {
      r.max = std::max({r.max, point.receivedRate, point.sentRate});
      if (point.receivedRate > 0 && (r.minReceived == 0 || point.receivedRate < r.minReceived))
        r.minReceived = point.receivedRate;
    }
  return r;
}

// The throughput plot's value range and the step of its linear ticks.
double ScaleRatePlot(Plot& rate, const RateRange& range, const RateUnit& unit, bool log) {
  const double top = std::max(range.max / unit.divisor, 1.0);
  if (log && range.minReceived > 0) {
    rate.log = true;
    rate.yMin = std::pow(10.0, std::floor(std::log10(range.minReceived / unit.divisor) + 1e-9));
    // The top: the first 1, 2 or 5 times a power of ten clear of the largest.
    const double decade = std::pow(10.0, std::floor(std::log10(top * 1.05)));
    rate.yMax = decade * (top * 1.05 <= 2 * decade ? 2 : top * 1.05 <= 5 * decade ? 5 : 10);
    rate.yMax = std::max(rate.yMax, rate.yMin * 10);
    return 0;
  }
  const double step = NiceStep(top, 4);
  rate.yMax = std::ceil(top / step - 1e-9) * step;
  return step;
}

// The round-trip plot below the throughput, on the same time axis.
void DrawRttPlot(QPainter& p, const Plot& rtt, const std::vector<ChartRun>& runs, double maxRtt,
                 const std::vector<TimeTick>& ticks, const ChartPoint* latest,
                 std::vector<TimeTick>* drawn) {
  const QFontMetrics fm = p.fontMetrics();
  Plot plot = rtt;
  const double step = NiceStep(std::max(maxRtt, 1e-3), 3);
  plot.yMax = std::ceil(std::max(maxRtt, 1e-3) / step - 1e-9) * step;
  DrawValueAxis(p, plot, step);
  DrawTimeAxis(p, plot, ticks, true, drawn);
  for (const ChartRun& run : runs) {
    DrawSeries(p, plot, run, Pen(kP99, false), [](const ChartPoint& point, double* v) {
      *v = point.rttP99Ms;
      return point.hasRtt;
    });
    DrawSeries(p, plot, run, Pen(kP50, false), [](const ChartPoint& point, double* v) {
      *v = point.rttP50Ms;
      return point.hasRtt;
    });
  }
  for (size_t i = 1; i < runs.size(); ++i) DrawPauseMark(p, plot, runs[i].offsetS);
  p.setPen(Qt::black);
  p.drawRect(plot.area);
  const int baseline = plot.area.top() - fm.descent() - 4;
  p.drawText(QPoint(8, baseline), QStringLiteral("往復時間 [ms]"));
  const bool has = latest != nullptr && latest->hasRtt;
  const auto text = [has](const char* name, double value) {
    return has ? QStringLiteral("%1  %2 ms").arg(QLatin1String(name)).arg(value, 0, 'f', 3)
               : QString::fromLatin1(name);
  };
  DrawLegend(p, plot.area.right(), baseline, has ? QStringLiteral("直近の区間:") : QString(),
             {{kP50, false, text("p50", has ? latest->rttP50Ms : 0)},
              {kP99, false, text("p99", has ? latest->rttP99Ms : 0)}});
}

// The throughput series of every run, the pause marks and the frame.
void DrawRateSeries(QPainter& p, const Plot& rate, const std::vector<ChartRun>& runs,
                    double divisor) {
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
  for (size_t i = 1; i < runs.size(); ++i) DrawPauseMark(p, rate, runs[i].offsetS);
  p.setPen(Qt::black);
  p.drawRect(rate.area);
}

// The last interval drawn, null before the first.
const ChartPoint* LatestPoint(const std::vector<ChartRun>& runs) {
  const ChartPoint* latest = nullptr;
  for (const ChartRun& run : runs)
    for (const ChartPoint& point : run.points)
      if (point.endS > point.startS) latest = &point;
  return latest;
}

// The throughput legend: the latest interval's values, and a caption that
// says so (returned; empty before the first interval).
QString DrawRateLegend(QPainter& p, int right, int baseline, const ChartPoint* latest,
                       const RateUnit& unit) {
  const auto text = [&](const char* name, double value) {
    return latest == nullptr ? QString::fromUtf8(name)
                             : QStringLiteral("%1  %2 %3")
                                   .arg(QString::fromUtf8(name), ShortNumber(value / unit.divisor),
                                        QLatin1String(unit.name));
  };
  const QString caption = latest != nullptr ? QStringLiteral("直近の区間:") : QString();
  DrawLegend(p, right, baseline, caption,
             {{kReceived, false, text("受信", latest ? latest->receivedRate : 0)},
              {kSent, true, text("送信", latest ? latest->sentRate : 0)}});
  return caption;
}

// What the chart says where it has nothing to draw.
QString EmptyText(const std::vector<ChartRun>& runs) {
  for (const ChartRun& run : runs)
    if (!run.failure.empty()) {
      const QString failure =
          QString::fromUtf8(run.failure.data(), static_cast<qsizetype>(run.failure.size()));
      return QStringLiteral("測定データはありません\n%1").arg(failure.section(u'\n', 0, 0));
    }
  return QStringLiteral("測定データはまだありません");
}

}  // namespace

bool LogScaleFor(const ChartHistory& history, ChartScale scale) {
  if (scale != ChartScale::kAuto) return scale == ChartScale::kLog;
  // Automatic: logarithmic once the runs' means lie more than a factor of 20
  // apart, as a sweep's patterns do (four decades); one run stays linear.
  double lo = 0, hi = 0;
  for (const ChartRun& run : history.Runs()) {
    const double mean = MeanReceived(run);
    if (mean <= 0) continue;
    lo = lo == 0 ? mean : std::min(lo, mean);
    hi = std::max(hi, mean);
  }
  return lo > 0 && hi / lo > 20;
}

void DrawChart(QPainter& p, const QRect& rect, const ChartHistory& history, ChartScale scale,
               ChartLayout* layout) {
  ChartLayout scratch;
  ChartLayout& out = layout != nullptr ? *layout : scratch;
  out = ChartLayout();
  p.save();
  p.fillRect(rect, Qt::white);
  p.setRenderHint(QPainter::Antialiasing, true);
  const QFontMetrics fm = p.fontMetrics();
  const int h = fm.height();
  const std::vector<ChartRun>& runs = history.Runs();

  // The time range: from the oldest point kept to the end of the last run,
  // at least 10 s wide.
  double x0 = history.EndS(), maxRtt = 0;
  bool anyRtt = false;
  for (const ChartRun& run : runs) {
    x0 = std::min(x0, run.points.empty() ? run.offsetS : run.points.front().startS);
    for (const ChartPoint& point : run.points)
      if (point.hasRtt) {
        anyRtt = true;
        maxRtt = std::max(maxRtt, point.rttP99Ms);
      }
  }
  const double x1 = std::max(history.EndS(), x0 + 10);

  // Rows from the top: the title with the legend, the bands' two lines, the plot.
  const int left = rect.left() + 78, right = rect.right() - 16;
  const int titleBaseline = rect.top() + 6 + fm.ascent();
  const int bandTop = rect.top() + h + 12;
  const int top = bandTop + 2 * h + 4, bottom = rect.bottom() - 2 * h - 14;
  const int gap = 2 * h + 16;
  const int rateH = anyRtt ? (bottom - top - gap) * 3 / 5 : bottom - top;
  Plot rate{QRect(left, top, right - left, rateH), x0, x1};
  const RateRange range = RangeOf(runs);
  const RateUnit unit = UnitFor(range.max);
  const bool log = LogScaleFor(history, scale);
  const double rateStep = ScaleRatePlot(rate, range, unit, log);
  double timeStep = 1;
  const std::vector<TimeTick> ticks = TimeTicks(runs, x0, x1, rate.area.width(), &timeStep);

  DrawBands(p, rate, runs, bandTop, bottom, unit, layout != nullptr ? &out.bands : nullptr);
  DrawValueAxis(p, rate, rateStep);
  DrawTimeAxis(p, rate, ticks, !anyRtt, &out.ticks);
  out.rate = rate;
  DrawRateSeries(p, rate, runs, unit.divisor);
  out.rateTitle =
      QStringLiteral("スループット [%1]%2")
          .arg(QLatin1String(unit.name), rate.log ? QStringLiteral(" 対数目盛") : QString());
  p.drawText(QPoint(8, titleBaseline), out.rateTitle);
  const ChartPoint* latest = LatestPoint(runs);
  out.legendCaption = DrawRateLegend(p, right, titleBaseline, latest, unit);

  Plot last = rate;
  if (anyRtt) {
    last =
        Plot{QRect(left, rate.area.bottom() + gap, right - left, bottom - rate.area.bottom() - gap),
             x0, x1};
    out.ticks.clear();  // the labels go under the lower plot
    DrawRttPlot(p, last, runs, maxRtt, ticks, latest, &out.ticks);
  }
  p.setPen(Qt::black);
  // In a sweep the time line holds the runs' data phases only; the marks
  // stand for the pauses between them.
  out.timeTitle = runs.size() > 1 ? QStringLiteral("経過時間 [秒]　╱╱ 次の測定までの休止（省略）")
                  : timeStep < 60 ? QStringLiteral("経過時間 [秒]")
                                  : QStringLiteral("経過時間");
  p.drawText(QRect(left, last.area.bottom() + h + 8, right - left, h + 4), Qt::AlignHCenter,
             out.timeTitle);
  if (history.PointCount() == 0) {
    out.emptyText = EmptyText(runs);
    p.setPen(Qt::darkGray);
    p.drawText(rate.area, Qt::AlignCenter, out.emptyText);
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

void CChartWidget::SetScale(ChartScale scale) {
  if (scale == m_eScale) return;
  m_eScale = scale;
  update();
}

void CChartWidget::HistoryChanged() {
  if (!m_redraw.isActive()) m_redraw.start(kRedrawDelayMs);
}

QImage CChartWidget::Render() const {
  QImage image(size(), QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setFont(font());
  DrawChart(painter, image.rect(), m_history, m_eScale);
  return image;
}

void CChartWidget::paintEvent(QPaintEvent* /*event*/) {
  ++m_nPaints;
  QPainter painter(this);
  DrawChart(painter, rect(), m_history, m_eScale);
}

}  // namespace quarvent
