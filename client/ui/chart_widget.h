// The chart of a measurement, drawn with QPainter from a ChartHistory:
// receive and send throughput per interval against elapsed seconds, and below
// it, when round trips were measured, their p50 and p99 in ms on the same
// time axis. The runs of a sweep lie side by side, each under a band marked
// with its pattern.
//
// The widget only reads the history. A change is announced with
// HistoryChanged(); redraws are coalesced to at most one per kRedrawDelayMs,
// and a hidden widget does not draw at all.
#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>

#include "client/ui/chart_history.h"

namespace quarvent {

// Draws the chart into rect (its background included).
void DrawChart(QPainter& painter, const QRect& rect, const ChartHistory& history);

class CChartWidget : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kRedrawDelayMs = 100;

  explicit CChartWidget(const ChartHistory& history, QWidget* parent = nullptr);

  // The history has changed: a redraw follows within kRedrawDelayMs, one for
  // any number of changes in that time.
  void HistoryChanged();
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
  int m_nPaints = 0;
};

}  // namespace quarvent
