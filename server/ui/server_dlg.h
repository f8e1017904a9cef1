// The listen dialog of the server program (dialog 102): a port field,
// 待受開始 and 中断 over the TCP and UDP stream services, a status line and a
// progress bar that the services feed, and the close question while a TCP
// client is connected.
//
// The services run on their own threads and reach the dialog through the
// listen controller, which posts their changes to the dialog's thread
// (Post) stamped with the generation of their start. 中断 and every end of
// the dialog begin a new generation, so nothing of a stopped service takes
// effect, however late its posted change arrives.
#pragma once

#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "common/ui/main_dialog.h"
#include "server/listen_controller.h"
#include "server/server_host.h"

class QLabel;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace quarvent {

class CServerDlg : public CMainDialog, public ServerHost {
  Q_OBJECT

 public:
  // Control ids of the template.
  static constexpr int kIdcPort = 1000;
  static constexpr int kIdcStatus = 1004;
  static constexpr int kIdcProgress = 1006;
  static constexpr int kIdcStopListen = 1007;
  static constexpr int kIdcStartListen = 1008;

  explicit CServerDlg(QWidget* parent = nullptr);
  ~CServerDlg() override;

  // 0: idle (待受開始 and the port field enabled, 中断 disabled); 1: listening
  // (the reverse). Other values change nothing.
  void SetListeningState(int state) override;

  void OnStartListen();  // 待受開始
  void OnStopListen();   // 中断; also the first step of every end of the dialog
  // The close question: true when the dialog may close (no TCP client
  // connected, or the user answered Yes).
  bool OnClose();

  int GetPort() const { return m_nPort.load(); }
  const ListenController& Controller() const { return *m_controller; }
  ListenController& Controller() { return *m_controller; }

  // ServerHost: called by the controller on the dialog's thread, except Port()
  // and Post(), which the service threads call.
  int Port() override { return m_nPort.load(); }
  void SetStatusText(std::string_view utf8) override;
  void SetProgress(int position) override;
  void ClearServiceHandle(ServiceKind kind) override;
  void ShowRecvErrorNotice(ServiceKind kind, std::string_view utf8, NoticeAck ack) override;
  // Queues task for the dialog's thread; what is still queued when the
  // dialog goes is dropped with it.
  void Post(std::function<void()> task) override;

  // The texts of the dialog.
  static QString IdleText() { return QStringLiteral("←「待受開始」をクリックして下さい"); }
  static QString CloseQuestionText() {
    return QStringLiteral("接続しているクライアントがあります。終了しますか？");
  }
  static QString CloseQuestionCaption() { return QStringLiteral("終了確認"); }
  static QString NotIntegerText() { return QStringLiteral("整数を入力してください。"); }

 protected:
  bool OnInitDialog() override;
  void done(int result) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  // Data exchange: members to controls (false) or controls to members (true;
  // returns false after telling the user that the port is not an integer).
  bool UpdateData(bool save);
  // Stops the services; run by every end of the dialog.
  void DestroyWindow();
  void ShowStatus(const QString& text);
  void CloseNotices();

  QProgressBar* m_progress = nullptr;  // 1006
  QLabel* m_staticStatus = nullptr;    // 1004
  QLineEdit* m_editPort = nullptr;     // 1000
  QPushButton* m_btnStart = nullptr;   // 1008
  QPushButton* m_btnStop = nullptr;    // 1007

  std::atomic<int> m_nPort{0};                   // written on the dialog's thread only
  std::vector<QPointer<QMessageBox>> m_notices;  // open receive-error notices
  std::unique_ptr<ListenController> m_controller;
};

}  // namespace quarvent
