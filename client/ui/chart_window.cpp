#include "client/ui/chart_window.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QImageWriter>
#include <QMenu>
#include <QVBoxLayout>

#include "client/ui/chart_widget.h"
#include "client/ui/save_file_name.h"
#include "common/ui/message_box.h"

namespace quarvent {

CChartWindow::CChartWindow(const ChartHistory& history, QWidget* parent)
    : QWidget(parent, Qt::Window), m_chart(new CChartWidget(history, this)) {
  setObjectName(QStringLiteral("chartWindow"));
  setWindowTitle(QStringLiteral("グラフ"));
  if (parent != nullptr) setWindowIcon(parent->windowIcon());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_chart);
  m_actSave = new QAction(QStringLiteral("PNG形式で保存(&S)..."), this);
  m_actSave->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  m_actSave->setShortcutContext(Qt::WindowShortcut);
  addAction(m_actSave);
  connect(m_actSave, &QAction::triggered, this, &CChartWindow::OnSavePng);
  resize(m_chart->sizeHint());
}

void CChartWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(m_actSave);
  menu.exec(event->globalPos());
  event->accept();
}

void CChartWindow::OnSavePng() {
  QString path =
      AskSaveFileName(this, QStringLiteral("グラフを保存"), QStringLiteral("quarvent-chart.png"),
                      QStringLiteral("PNG (*.png)"));
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".png");
  SavePng(path);
}

bool CChartWindow::SavePng(const QString& path) {
  QImageWriter writer(path, "png");
  if (writer.write(m_chart->Render())) return true;
  AppMessageBox(
      this,
      QStringLiteral("グラフを保存できませんでした。\n%1\n%2").arg(path, writer.errorString()));
  return false;
}

}  // namespace quarvent
