// The dialog's chart and saved results: the window-menu entries グラフ and
// 結果を保存... (also in the results box's context menu), the hand-overs of the runs that feed the
// chart history and the measurement log, and the writing of a results file.
#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QScreen>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>

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

  // The results box is the largest part of the window: its context menu holds
  // its own copy entries and the dialog's.
  m_editResult->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(m_editResult, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    std::unique_ptr<QMenu> shown(ResultsContextMenu(pos));
    shown->exec(m_editResult->viewport()->mapToGlobal(pos));
  });
}

QMenu* CClientDlg::ResultsContextMenu(const QPoint& pos) {
  QMenu* menu = m_editResult->createStandardContextMenu(pos);
  menu->addSeparator();
  // The window menu's own actions: chosen here, they are routed through
  // OnSysCommand as from there.
  menu->addAction(m_actChart);
  menu->addAction(m_actSave);
  return menu;
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

void CClientDlg::BeginMeasurement(const MeasureSettings& settings) {
  MeasureStart start;
  start.timestamp = IsoTimestampUtc(std::chrono::system_clock::now());
  // The address without its port, which the start names apart.
  if (!settings.servers.empty()) {
    start.address = settings.servers.front();
    start.address->SetPort(0);
    start.port = settings.servers.front().Port();
  }
  start.protocol = settings.protocol;
  start.duration = static_cast<int>(settings.duration);
  start.intervalMs = std::clamp(settings.intervalMs, kMinIntervalMs, kMaxIntervalMs);
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

// 測定中断 in the pause between two runs of a sweep ends the sweep there; the
// results box says so after the last report, so that the missing patterns
// are not taken for a sweep that ran to its end.
void CClientDlg::OnSweepAborted(int /*runs*/, int /*nextPattern*/) {
  m_controller->AppendReport("ﾕｰｻﾞによる中断.\r\n");
}

void CClientDlg::ChartChanged() {
  if (m_chartWnd) m_chartWnd->Chart()->HistoryChanged();
}

void CClientDlg::OnShowChart() {
  if (!m_chartWnd) {
    m_chartWnd = new CChartWindow(m_history, this);
    PlaceChart();
  }
  m_chartWnd->show();
  m_chartWnd->raise();
  m_chartWnd->activateWindow();
}

void CClientDlg::PlaceChart() {
  const QScreen* s = screen();
  if (s == nullptr) return;
  // Frame sizes: the window system's frame around the chart is taken to be as
  // wide as the dialog's own.
  const QRect frame = frameGeometry();
  const QSize extra = frame.size() - geometry().size();
  const QSize minimum = m_chartWnd->minimumSizeHint().expandedTo(m_chartWnd->minimumSize());
  // The settings and the start button lie above the results group.
  const int keep =
      findChild<QWidget*>(QStringLiteral("resultGroup"))->y() + (geometry().top() - frame.top());
  const QRect at = PlaceChartWindow(frame, m_chartWnd->size() + extra, minimum + extra,
                                    s->availableGeometry(), keep);
  m_chartWnd->resize(at.size() - extra);
  m_chartWnd->move(at.topLeft());
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
  errno = 0;
  if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
    return true;
  const int error = errno;  // of the call that failed: nothing in between sets it
  AppMessageBox(
      this, QStringLiteral("結果を保存できませんでした。\n%1\n%2")
                .arg(QDir::toNativeSeparators(path), SaveFailureReason(error, file.errorString())));
  return false;
}

QString CClientDlg::SaveFailureReason(int error, const QString& systemText) {
  QString reason;
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      reason = QStringLiteral("保存先のフォルダがありません");
      break;
    case EACCES:
    case EPERM:
      reason = QStringLiteral("保存先に書き込む権限がありません");
      break;
    case EROFS:
      reason = QStringLiteral("保存先は読み取り専用です");
      break;
    case ENOSPC:
    case EDQUOT:
      reason = QStringLiteral("ディスクの空きが足りません");
      break;
    case ENAMETOOLONG:
      reason = QStringLiteral("ファイル名が長すぎます");
      break;
    default:
      reason = QStringLiteral("ファイルに書き込めませんでした");
  }
  // The system's own words follow, for the one who looks it up.
  return systemText.isEmpty() ? reason + u'。'
                              : QStringLiteral("%1（%2）。").arg(reason, systemText);
}

}  // namespace quarvent
