// The chart of a measurement, drawn with QPainter from a ChartHistory:
// receive and send throughput per interval against elapsed seconds, and below
// it, when round trips were measured, their p50 and p99 in ms on the same
// time axis. The runs of a sweep lie side by side, each under a band headed
// by its pattern and its mean receive throughput; the pauses between them are
// marked on the time axis, whose ticks fall on the bands' boundaries.
//
// The widget only reads the history. A change is announced with
// HistoryChanged(); redraws are coalesced to at most one per kRedrawDelayMs,
// and a hidden widget does not draw at all.
#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <vector>

#include "client/ui/chart_axes.h"
#include "client/ui/chart_history.h"

namespace quarvent {

// The throughput axis: chosen from the data, or as the user set it.
enum class ChartScale {
  kAuto,    // logarithmic when the runs' mean rates lie more than 20 times apart
  kLinear,  // from 0
  kLog,     // powers of ten around the received rates
};
// Whether the throughput axis is logarithmic for this history and choice.
bool LogScaleFor(const ChartHistory& history, ChartScale scale);

// What a drawing put where, for those who check it.
struct ChartLayout {
  struct Band {
    int run = 0;
    QRect rect;                           // the band's width, from its header to the plot's bottom
    QString pattern;                      // first header line: the pattern, as much as fits
    QString mean;                         // second: the mean receive throughput in the axis's unit
    int patternWidth = 0, meanWidth = 0;  // their drawn widths
  };
  std::vector<Band> bands;
  std::vector<chart::TimeTick> ticks;  // the time labels drawn
  chart::Plot rate;                    // the throughput plot
  QString rateTitle, legendCaption, timeTitle;
  QString emptyText;  // what the plot says when there is nothing to draw
};

// Draws the chart into rect (its background included); layout, when given,
// receives what went where.
void DrawChart(QPainter& painter, const QRect& rect, const ChartHistory& history,
               ChartScale scale = ChartScale::kAuto, ChartLayout* layout = nullptr);

class CChartWidget : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kRedrawDelayMs = 100;

  explicit CChartWidget(const ChartHistory& history, QWidget* parent = nullptr);

  // The history has changed: a redraw follows within kRedrawDelayMs, one for
  // any number of changes in that time.
  void HistoryChanged();
  // The throughput axis; kAuto until the user chooses.
  ChartScale Scale() const noexcept { return m_eScale; }
  void SetScale(ChartScale scale);
  // The chart as an image of the widget's size.
  QImage Render() const;
  // Paint events so far (for the tests).
  int PaintCount() const noexcept { return m_nPaints; }

  QSize sizeHint() const override { return {640, 420}; }
  QSize minimumSizeHint() const override { return {320, 220}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const ChartHistory& m_history;
  QTimer m_redraw;
  ChartScale m_eScale = ChartScale::kAuto;
  int m_nPaints = 0;
};

}  // namespace quarvent
