// The dialog's side of the controller: the display operations, the posted
// tasks and timers of the runs and the receive-error notice.
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

#include "client/ui/client_dlg.h"
#include "common/ui/dialog_units.h"
#include "common/ui/message_box.h"

namespace quarvent {

MeasureSettings CClientDlg::ReadSettings() {
  UpdateData(true);
  MeasureSettings settings;
  settings.pattern = m_nPattern;
  settings.protocol = m_nProtocol != 0 ? kUdp : kTcp;
  settings.duration = static_cast<Duration>(m_nDuration);
  settings.servers = Ipv4Server(m_dwAddress, m_nPort);
  settings.intervalMs = m_nIntervalMs;
  return settings;
}

void CClientDlg::OnMeasureStart(const MeasureSettings& settings) {
  BeginMeasurement(settings);
}

void CClientDlg::OnReportText(const std::string&) {
  ShowReport();
  QScrollBar* bar = m_editResult->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void CClientDlg::SelectPattern(int pattern) {
  m_nPattern = pattern;
  UpdateData(false);
}

void CClientDlg::ShowReport() {
  if (!m_controller) return;
  const std::string& report = m_controller->ReportText();
  QString text = QString::fromUtf8(report.data(), static_cast<qsizetype>(report.size()));
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  if (text == m_strShown) return;
  if (!m_strShown.isEmpty() && text.startsWith(m_strShown)) {
    // Only the new lines go in, so whatever the user has selected stays so.
    QTextCursor end(m_editResult->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text.mid(m_strShown.size()));
  } else {
    m_editResult->setPlainText(text);
  }
  m_strShown = std::move(text);
}

void CClientDlg::SetElapsedText(std::string_view text) {
  m_staticElapsed->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void CClientDlg::SetProgress(int position) {
  m_progress->setValue(position);
}

void CClientDlg::Repaint() {
  if (isVisible()) repaint();
}

void CClientDlg::SetMeasuringState(int state) {
  if (state != 0 && state != 1) return;
  const bool idle = state == 0;
  // In the template's order: 1003, 1004, 1011, 1007, 1008, 1012, 1002, 1015,
  // 1016, 1017, 1018, 1019. The report, the elapsed text and the bar stay.
  static constexpr int kIds[] = {kIdcAddress,    kIdcPort,       kIdcDurationAuto,
                                 kIdcDuration15, kIdcDuration30, kIdcDurationContinuous,
                                 kIdcPattern,    kIdcAbort,      kIdcStart,
                                 kIdcClear,      kIdcTcp,        kIdcUdp};
  for (const int id : kIds) {
    if (QWidget* control = FindControl(this, id)) control->setEnabled(idle != (id == kIdcAbort));
  }
}

void CClientDlg::DisableAbort() {
  m_btnAbort->setEnabled(false);
}

void CClientDlg::ShowRecvError(std::string_view text) {
  // Modal: the run that met the error waits until the user has closed it.
  QMessageBox box(QMessageBox::Warning, AppTitle(),
                  QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                  QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  m_notice = &box;
  box.exec();
  m_notice = nullptr;
}

void CClientDlg::Post(std::function<void()> task) {
  // Queued events for one receiver keep their order; those still queued when
  // the receiver is deleted go with it.
  QMetaObject::invokeMethod(m_pTasks, std::move(task), Qt::QueuedConnection);
}

void CClientDlg::ArmTimer(unsigned id, int delayMs) {
  QTimer*& timer = m_timers[id];
  if (timer == nullptr) {
    timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, id] { m_controller->OnTimer(id); });
  }
  timer->start(delayMs);  // re-arms a pending one
}

void CClientDlg::DropQueued() {
  // The controller's runs are joined: nothing posts any more while the
  // receiver goes, and its queued tasks with it.
  delete m_pTasks;
  m_pTasks = nullptr;
  for (auto& entry : m_timers) entry.second->stop();
}

}  // namespace quarvent
