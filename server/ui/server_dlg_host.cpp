// The dialog's side of the services: their changes reach the controls on the
// dialog's thread, in the order they were made, unless their start has been
// stopped meanwhile.
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include "common/ui/message_box.h"
#include "server/ui/server_dlg.h"

namespace quarvent {

bool CServerDlg::OnGuiThread() const {
  return QThread::currentThread() == thread();
}

template <class F>
void CServerDlg::Post(F apply) {
  const std::uint32_t generation = m_nGeneration.load();
  QMetaObject::invokeMethod(
      this,
      [this, generation, apply = std::move(apply)]() mutable {
        if (generation == m_nGeneration.load()) apply();
      },
      Qt::QueuedConnection);
}

void CServerDlg::SetListeningState(int state) {
  if (!OnGuiThread()) {
    Post([this, state] { SetListeningState(state); });
    return;
  }
  if (state != 0 && state != 1) return;
  const bool idle = state == 0;
  m_btnStart->setEnabled(idle);
  m_btnStop->setEnabled(!idle);
  m_editPort->setEnabled(idle);
}

void CServerDlg::SetStatusText(std::string_view utf8) {
  QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  if (OnGuiThread()) {
    ShowStatus(text);
    return;
  }
  Post([this, text = std::move(text)] { ShowStatus(text); });
}

// Positions come once every few chunks from a busy service: they are
// coalesced, so the queue holds at most one and the bar shows the latest.
void CServerDlg::SetProgress(int position) {
  if (OnGuiThread()) {
    m_progress->setValue(position);
    return;
  }
  const std::uint64_t packed = (static_cast<std::uint64_t>(m_nGeneration.load()) << 32) |
                               static_cast<std::uint32_t>(position);
  m_nPendingProgress.store(packed);
  if (m_bProgressPosted.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        m_bProgressPosted.store(false);
        const std::uint64_t latest = m_nPendingProgress.load();
        if ((latest >> 32) == m_nGeneration.load()) {
          m_progress->setValue(static_cast<int>(static_cast<std::uint32_t>(latest)));
        }
      },
      Qt::QueuedConnection);
}

// The controller keeps the handles; a service that ended by itself is joined
// by the next start or by the end of the dialog.
void CServerDlg::ClearServiceHandle(ServiceKind /*kind*/) {}

void CServerDlg::ShowRecvErrorNotice(ServiceKind /*kind*/, std::string_view utf8, NoticeAck ack) {
  QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  auto show = [this, text = std::move(text), ack = std::move(ack)] {
    // Modal for the user, but the dialog's thread goes on: the service waits
    // for the acknowledgement, and a stop closes the box.
    auto* box = new QMessageBox(QMessageBox::Warning, AppTitle(), text, QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    connect(box, &QMessageBox::finished, this, [ack] { ack.Acknowledge(); });
    m_notices.emplace_back(box);
    box->show();
  };
  if (OnGuiThread()) {
    show();
  } else {
    Post(std::move(show));
  }
}

void CServerDlg::CloseNotices() {
  std::vector<QPointer<QMessageBox>> notices;
  notices.swap(m_notices);
  for (const QPointer<QMessageBox>& box : notices) {
    if (box) box->close();
  }
}

}  // namespace quarvent
