// The "グラフ" window of the client dialog: its own top-level window, not
// modal, holding the chart of the current measurement. Closing it only hides
// it; the dialog goes on feeding the history, so it shows everything again
// when reopened. Its context menu (and Ctrl+S) saves the chart as PNG.
#pragma once

#include <QWidget>

#include "client/ui/chart_history.h"

class QAction;

namespace quarvent {

class CChartWidget;

class CChartWindow : public QWidget {
  Q_OBJECT

 public:
  // parent: the dialog, which the window stays with (and above).
  CChartWindow(const ChartHistory& history, QWidget* parent);

  CChartWidget* Chart() const { return m_chart; }
  // The save entry of the context menu.
  QAction* SaveAction() const { return m_actSave; }

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
