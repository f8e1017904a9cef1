// The dialog's chart and saved results: the window-menu entries グラフ and
// 結果を保存..., the hand-overs of the runs that feed the chart history and
// the measurement log, and the writing of a results file.
#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QScreen>
#include <algorithm>
#include <chrono>

#include "client/ui/chart_widget.h"
#include "client/ui/chart_window.h"
#include "client/ui/client_dlg.h"
#include "client/ui/save_file_name.h"
#include "common/ui/message_box.h"

namespace quarvent {
namespace {

struct SaveType {
  CClientDlg::SaveKind kind;
  const char* suffix;
  QString filter;
};

const SaveType* SaveTypes() {
  static const SaveType kTypes[] = {
      {CClientDlg::SaveKind::kText, "txt", QStringLiteral("テキスト (*.txt)")},
      {CClientDlg::SaveKind::kJson, "json", QStringLiteral("JSON (*.json)")},
      {CClientDlg::SaveKind::kCsv, "csv", QStringLiteral("CSV (*.csv)")},
  };
  return kTypes;
}
constexpr int kSaveTypeCount = 3;

QAction* AddMenuCommand(QWidget* owner, QMenu* menu, const QString& text, unsigned id,
                        QKeyCombination key) {
  QAction* action = menu->addAction(text);
  action->setData(id);
  action->setShortcut(QKeySequence(key));
  action->setShortcutContext(Qt::WindowShortcut);
  // Also on the dialog itself, so that the key works while the menu is closed;
  // either way the menu's triggered() routes it through OnSysCommand.
  owner->addAction(action);
  return action;
}

}  // namespace

void CClientDlg::CreateCommands() {
  // Added before the prologue appends the separator and the about entry.
  QMenu* menu = GetSystemMenu();
  m_actChart =
      AddMenuCommand(this, menu, QStringLiteral("グラフ"), kIdmChart, Qt::CTRL | Qt::Key_G);
  m_actSave = AddMenuCommand(this, menu, QStringLiteral("結果を保存..."), kIdmSaveResults,
                             Qt::CTRL | Qt::Key_S);
  m_actSave->setEnabled(false);  // until something was measured
}

void CClientDlg::OnSysCommand(unsigned id, qint32 param) {
  switch (id & 0xFFF0) {
    case kIdmChart:
      OnShowChart();
      return;
    case kIdmSaveResults:
      if (m_actSave->isEnabled()) OnSaveResults();
      return;
    default:
      CMainDialog::OnSysCommand(id, param);
  }
}

CChartWindow* CClientDlg::ChartWindow() const {
  return m_chartWnd;
}

void CClientDlg::BeginMeasurement() {
  MeasureStart start;
  start.timestamp = IsoTimestampUtc(std::chrono::system_clock::now());
  start.address = m_dwAddress;
  start.port = m_nPort & 0xFFFF;
  start.protocol = m_nProtocol != 0 ? 1 : 0;
  start.duration = m_nDuration;
  start.intervalMs = std::clamp(m_nIntervalMs, kMinIntervalMs, kMaxIntervalMs);
  m_log.Begin(start);
  m_history.Clear();
  m_actSave->setEnabled(true);
  ChartChanged();
}

void CClientDlg::OnInterval(const IntervalData& interval) {
  m_log.AddInterval(interval);
  m_history.AddInterval(interval);
  ChartChanged();
}

void CClientDlg::OnRunEnd(const RunEndData& end) {
  m_log.AddRunEnd(end);
  m_history.AddRunEnd(end);
  ChartChanged();
}

void CClientDlg::ChartChanged() {
  if (m_chartWnd) m_chartWnd->Chart()->HistoryChanged();
}

void CClientDlg::OnShowChart() {
  if (!m_chartWnd) {
    m_chartWnd = new CChartWindow(m_history, this);
    // Beside the dialog, to its right where the screen has room, else to its left.
    const QRect frame = frameGeometry();
    QPoint at(frame.right() + 8, frame.top());
    if (const QScreen* s = screen(); s != nullptr) {
      const QRect room = s->availableGeometry();
      if (at.x() + m_chartWnd->width() > room.right())
        at.setX(std::max(room.left(), frame.left() - 8 - m_chartWnd->width()));
    }
    m_chartWnd->move(at);
  }
  m_chartWnd->show();
  m_chartWnd->raise();
  m_chartWnd->activateWindow();
}

void CClientDlg::OnSaveResults() {
  QStringList filters;
  for (int i = 0; i < kSaveTypeCount; ++i) filters << SaveTypes()[i].filter;
  QString selected = filters.front();
  QString path =
      AskSaveFileName(this, QStringLiteral("結果を保存"), QStringLiteral("quarvent-results.txt"),
                      filters.join(QStringLiteral(";;")), &selected);
  if (path.isEmpty()) return;
  // The name's suffix decides; a name without one takes the chosen type's.
  const SaveType* type = nullptr;
  const QString suffix = QFileInfo(path).suffix().toLower();
  for (int i = 0; i < kSaveTypeCount && type == nullptr; ++i)
    if (suffix == QLatin1String(SaveTypes()[i].suffix)) type = &SaveTypes()[i];
  for (int i = 0; i < kSaveTypeCount && type == nullptr; ++i)
    if (selected == SaveTypes()[i].filter) type = &SaveTypes()[i];
  if (type == nullptr) type = &SaveTypes()[0];
  if (suffix.isEmpty()) path += u'.' + QLatin1String(type->suffix);
  SaveResults(path, type->kind);
}

bool CClientDlg::SaveResults(const QString& path, SaveKind kind) {
  QByteArray bytes;
  switch (kind) {
    case SaveKind::kText:
      bytes = m_editResult->toPlainText().toUtf8();
      break;
    case SaveKind::kJson:
      bytes = QByteArray::fromStdString(m_log.JsonDocument());
      break;
    case SaveKind::kCsv:
      bytes = QByteArray::fromStdString(m_log.CsvDocument());
      break;
  }
  // Written beside the target and renamed over it at the end: a failed write
  // leaves an existing file as it was.
  QSaveFile file(path);
  if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
    return true;
  AppMessageBox(this, QStringLiteral("結果を保存できませんでした。\n%1\n%2")
                          .arg(QDir::toNativeSeparators(path), file.errorString()));
  return false;
}

}  // namespace quarvent
