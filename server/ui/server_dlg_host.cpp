// The dialog's side of the services: the controller posts their changes
// through Post() and makes them here, on the dialog's thread, in the order
// they were made, unless their start has been stopped meanwhile.
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include "common/ui/message_box.h"
#include "server/ui/server_dlg.h"

namespace quarvent {

void CServerDlg::Post(std::function<void()> task) {
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void CServerDlg::SetListeningState(int state) {
  if (state != 0 && state != 1) return;
  const bool idle = state == 0;
  m_btnStart->setEnabled(idle);
  m_btnStop->setEnabled(!idle);
  m_editPort->setEnabled(idle);
}

void CServerDlg::SetStatusText(std::string_view utf8) {
  ShowStatus(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

// A busy service's positions come coalesced: the controller keeps at most
// one update queued, showing the latest.
void CServerDlg::SetProgress(int position) {
  m_progress->setValue(position);
}

// The controller keeps the handles and joins a service that ended by itself.
void CServerDlg::ClearServiceHandle(ServiceKind /*kind*/) {}

void CServerDlg::ShowRecvErrorNotice(ServiceKind /*kind*/, std::string_view utf8, NoticeAck ack) {
  const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  // Modal for the user, but the dialog's thread goes on: the service waits
  // for the acknowledgement, and a stop closes the box.
  auto* box = new QMessageBox(QMessageBox::Warning, AppTitle(), text, QMessageBox::Ok, this);
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  connect(box, &QMessageBox::finished, this, [ack = std::move(ack)] { ack.Acknowledge(); });
  m_notices.emplace_back(box);
  box->show();
}

void CServerDlg::CloseNotices() {
  std::vector<QPointer<QMessageBox>> notices;
  notices.swap(m_notices);
  for (const QPointer<QMessageBox>& box : notices) {
    if (box) box->close();
  }
}

}  // namespace quarvent
