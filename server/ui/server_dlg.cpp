#include "server/ui/server_dlg.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "common/protocol.h"
#include "common/ui/dialog_units.h"
#include "common/ui/message_box.h"

namespace quarvent {

CServerDlg::CServerDlg(QWidget* parent) : CMainDialog(Program::Server, parent) {
  setWindowTitle(QStringLiteral("クァルヴェント（模擬サーバ）"));
  CreateControls();
  m_controller = std::make_unique<ListenController>(*this);
}

CServerDlg::~CServerDlg() {
  // Stops and joins the services while every member they might call is whole.
  m_controller.reset();
}

// Template 102, in tab order.
void CServerDlg::CreateControls() {
  const DialogUnits du(font());
  du.SizeClient(this, 210, 55);

  auto* label = new QLabel(QStringLiteral("ﾎﾟｰﾄ番号:"), this);
  label->setObjectName(QStringLiteral("portLabel"));
  label->setTextFormat(Qt::PlainText);
  du.Place(label, 8, 6, 30, 8);

  m_editPort = new QLineEdit(this);
  SetControlId(m_editPort, kIdcPort);
  m_editPort->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  du.Place(m_editPort, 48, 4, 24, 12);

  m_progress = new QProgressBar(this);
  SetControlId(m_progress, kIdcProgress);
  m_progress->setTextVisible(false);
  m_progress->setFocusPolicy(Qt::NoFocus);
  du.Place(m_progress, 80, 4, 64, 12);

  m_btnStart = new QPushButton(QStringLiteral("待受開始"), this);
  SetControlId(m_btnStart, kIdcStartListen);
  m_btnStart->setDefault(true);
  du.Place(m_btnStart, 4, 24, 68, 28);
  connect(m_btnStart, &QPushButton::clicked, this, &CServerDlg::OnStartListen);

  m_staticStatus = new QLabel(this);
  SetControlId(m_staticStatus, kIdcStatus);
  m_staticStatus->setTextFormat(Qt::PlainText);
  m_staticStatus->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  m_staticStatus->setLineWidth(1);
  du.Place(m_staticStatus, 80, 38, 128, 14);

  m_btnStop = new QPushButton(QStringLiteral("中断"), this);
  SetControlId(m_btnStop, kIdcStopListen);
  du.Place(m_btnStop, 176, 4, 30, 14);
  connect(m_btnStop, &QPushButton::clicked, this, &CServerDlg::OnStopListen);

  setTabOrder(m_editPort, m_btnStart);
  setTabOrder(m_btnStart, m_btnStop);
}

bool CServerDlg::OnInitDialog() {
  UpdateData(false);  // the first exchange shows the constructor's port 0
  CMainDialog::OnInitDialog();
  m_progress->setRange(0, 100);
  m_progress->setValue(0);
  m_nPort = kDefaultPort;
  ShowStatus(IdleText());
  SetListeningState(0);
  UpdateData(false);
  m_editPort->setFocus();
  return true;
}

bool CServerDlg::UpdateData(bool save) {
  if (!save) {
    m_editPort->setText(QString::number(m_nPort.load()));
    return true;
  }
  bool ok = false;
  const int port = m_editPort->text().trimmed().toInt(&ok, 10);
  if (!ok) {
    AppMessageBox(this, NotIntegerText());
    m_editPort->setFocus();
    m_editPort->selectAll();
    return false;
  }
  m_nPort = port;
  return true;
}

void CServerDlg::OnStartListen() {
  // A port field that holds no integer has been reported; the previous port is used.
  UpdateData(true);
  // A service that outlived its partner (the dialog went idle when the other
  // ended by itself) is stopped first: one service per protocol at a time.
  if (m_controller->TcpRunning() || m_controller->UdpRunning()) m_controller->OnStopListen();
  CloseNotices();
  m_controller->OnStartListen();
  repaint();
}

void CServerDlg::OnStopListen() {
  // The controller's new generation drops whatever the stopped services
  // posted before.
  m_controller->OnStopListen();
  CloseNotices();
}

bool CServerDlg::OnClose() {
  if (!m_controller->Connected()) return true;
  return AppMessageBox(this, CloseQuestionText(), QMessageBox::Question,
                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No,
                       CloseQuestionCaption()) == QMessageBox::Yes;
}

void CServerDlg::closeEvent(QCloseEvent* event) {
  if (!OnClose()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);  // ends the dialog like the cancel command
}

void CServerDlg::done(int result) {
  DestroyWindow();
  QDialog::done(result);
}

void CServerDlg::DestroyWindow() {
  OnStopListen();
}

void CServerDlg::ShowStatus(const QString& text) {
  m_staticStatus->setText(text);
}

}  // namespace quarvent
