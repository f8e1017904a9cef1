// The "グラフ" window of the client dialog: its own top-level window, not
// modal, holding the chart of the current measurement. Closing it only hides
// it; the dialog goes on feeding the history, so it shows everything again
// when reopened. Its context menu saves the chart as PNG (also Ctrl+S) and
// switches the throughput axis between automatic, linear and logarithmic.
#pragma once

#include <QRect>
#include <QWidget>

#include "client/ui/chart_history.h"

class QAction;
class QMenu;

namespace quarvent {

class CChartWidget;

// Where the chart window goes when it first opens, as a frame rectangle of
// chart's size (or smaller) inside room: beside the dialog (right, then left)
// where it fits, else below or above it, else beside or below it made smaller
// (down to minimum), else over the dialog's lower part at the right edge of
// room, so that the dialog's settings and buttons (its top keepVisible pixels)
// stay visible.
QRect PlaceChartWindow(const QRect& dialog, const QSize& chart, const QSize& minimum,
                       const QRect& room, int keepVisible);

class CChartWindow : public QWidget {
  Q_OBJECT

 public:
  // parent: the dialog, which the window stays with (and above).
  CChartWindow(const ChartHistory& history, QWidget* parent);

  CChartWidget* Chart() const { return m_chart; }
  // The save entry of the context menu.
  QAction* SaveAction() const { return m_actSave; }
  // The context menu: PNG形式で保存..., then the throughput axis's three
  // choices (automatic, linear, logarithmic), the current one checked. The
  // caller owns it.
  QMenu* CreateContextMenu();

  // Asks for a file name and saves the chart there as PNG.
  void OnSavePng();
  // Writes the chart at its current size to path as PNG; on failure a
  // message box says why and false is returned.
  bool SavePng(const QString& path);

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  CChartWidget* m_chart;
  QAction* m_actSave;
};

}  // namespace quarvent
