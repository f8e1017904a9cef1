#include "client/ui/chart_window.h"

#include <QAction>
#include <QActionGroup>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QImageWriter>
#include <QMenu>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

#include "client/ui/chart_widget.h"
#include "client/ui/save_file_name.h"
#include "common/ui/message_box.h"

namespace quarvent {

QRect PlaceChartWindow(const QRect& dialog, const QSize& chart, const QSize& minimum,
                       const QRect& room, int keepVisible) {
  constexpr int kGap = 8;
  // The free strips around the dialog.
  const int rightW = room.right() - (dialog.right() + kGap);
  const int leftW = dialog.left() - kGap - room.left();
  const int belowH = room.bottom() - (dialog.bottom() + kGap);
  const int aboveH = dialog.top() - kGap - room.top();
  const auto clampX = [&](int x, int w) {
    return std::clamp(x, room.left(), std::max(room.left(), room.right() + 1 - w));
  };
  const auto clampY = [&](int y, int h) {
    return std::clamp(y, room.top(), std::max(room.top(), room.bottom() + 1 - h));
  };
  const auto besideRight = [&](QSize s) {
    return QRect(QPoint(dialog.right() + 1 + kGap, clampY(dialog.top(), s.height())), s);
  };
  const auto besideLeft = [&](QSize s) {
    return QRect(QPoint(dialog.left() - kGap - s.width(), clampY(dialog.top(), s.height())), s);
  };
  const auto below = [&](QSize s) {
    return QRect(QPoint(clampX(dialog.left(), s.width()), dialog.bottom() + 1 + kGap), s);
  };
  const auto above = [&](QSize s) {
    return QRect(QPoint(clampX(dialog.left(), s.width()), dialog.top() - kGap - s.height()), s);
  };
  const int fullH = std::min(chart.height(), room.height());
  const int fullW = std::min(chart.width(), room.width());
  if (rightW >= chart.width()) return besideRight({chart.width(), fullH});
  if (leftW >= chart.width()) return besideLeft({chart.width(), fullH});
  if (belowH >= chart.height()) return below({fullW, chart.height()});
  if (aboveH >= chart.height()) return above({fullW, chart.height()});
  // Smaller, in the widest strip that takes the smallest chart.
  const int sideW = std::max(rightW, leftW);
  if (sideW >= minimum.width() && room.height() >= minimum.height()) {
    const QSize s(sideW, fullH);
    return rightW >= leftW ? besideRight(s) : besideLeft(s);
  }
  const int vertH = std::max(belowH, aboveH);
  if (vertH >= minimum.height() && room.width() >= minimum.width()) {
    const QSize s(fullW, vertH);
    return belowH >= aboveH ? below(s) : above(s);
  }
  // No room anywhere: over the dialog's lower part, the settings left free.
  const int top = std::min(dialog.top() + keepVisible, room.bottom() + 1 - minimum.height());
  const QSize s(fullW, std::max(minimum.height(), std::min(fullH, room.bottom() + 1 - top)));
  return QRect(QPoint(room.right() + 1 - s.width(), std::max(room.top(), top)), s);
}

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

QMenu* CChartWindow::CreateContextMenu() {
  auto* menu = new QMenu(this);
  menu->addAction(m_actSave);
  menu->addSeparator();
  // The throughput axis: the choice is kept until the window goes.
  auto* scales = new QActionGroup(menu);
  const auto addScale = [&](const QString& text, ChartScale scale) {
    QAction* action = menu->addAction(text);
    action->setCheckable(true);
    action->setChecked(m_chart->Scale() == scale);
    action->setActionGroup(scales);
    connect(action, &QAction::triggered, this, [this, scale] { m_chart->SetScale(scale); });
  };
  addScale(QStringLiteral("目盛を自動で選ぶ(&A)"), ChartScale::kAuto);
  addScale(QStringLiteral("直線目盛(&L)"), ChartScale::kLinear);
  addScale(QStringLiteral("対数目盛(&G)"), ChartScale::kLog);
  return menu;
}

void CChartWindow::contextMenuEvent(QContextMenuEvent* event) {
  std::unique_ptr<QMenu> menu(CreateContextMenu());
  menu->exec(event->globalPos());
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
