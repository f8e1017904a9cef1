// The listen dialog over real services on a free loopback port.
#include "server/ui/server_dlg.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "common/protocol.h"
#include "common/socket.h"
#include "common/ui/about_dlg.h"
#include "common/ui/dialog_units.h"
#include "tests/support/loopback.h"
#include "tests/ui/loopback_client.h"
#include "tests/ui/ui_test_support.h"

using quarvent::CServerDlg;
using quarvent::GetDlgItem;
using quarvent::kIdentifier;
using quarvent::test::ModalWatcher;
using quarvent::test::TcpTestClient;

namespace {

constexpr char kListening[] = "待受中...";
constexpr int kTimeoutMs = 30000;  // only against a hang: every wait ends at its event

QString Status(const CServerDlg& dlg) {
  return GetDlgItem<QLabel>(&dlg, CServerDlg::kIdcStatus)->text();
}
QPushButton* Button(const CServerDlg& dlg, int id) {
  return GetDlgItem<QPushButton>(&dlg, id);
}
QLineEdit* PortField(const CServerDlg& dlg) {
  return GetDlgItem<QLineEdit>(&dlg, CServerDlg::kIdcPort);
}
bool Idle(const CServerDlg& dlg) {
  return Button(dlg, CServerDlg::kIdcStartListen)->isEnabled() &&
         !Button(dlg, CServerDlg::kIdcStopListen)->isEnabled() && PortField(dlg)->isEnabled();
}
bool Listening(const CServerDlg& dlg) {
  return !Button(dlg, CServerDlg::kIdcStartListen)->isEnabled() &&
         Button(dlg, CServerDlg::kIdcStopListen)->isEnabled() && !PortField(dlg)->isEnabled();
}

// The dialog, told as well when its services have bound their sockets: a
// client sent after that is heard, and the UDP service's "待受中..." (set
// before its bind) can no longer land after a later status. It can also hold
// back what the controller posts, to deliver it late.
class BoundDlg final : public CServerDlg {
 public:
  void OnServiceListening(quarvent::ServiceKind kind) override {
    m_nBound.fetch_or(kind == quarvent::ServiceKind::kTcp ? 1 : 2);
  }
  void ForgetBound() { m_nBound = 0; }
  bool BothBound() const { return m_nBound.load() == 3; }

  void Post(std::function<void()> task) override {
    {
      std::lock_guard lock(m_mutex);
      if (m_bHold) {
        m_held.push_back(std::move(task));
        m_cv.notify_all();
        return;
      }
    }
    CServerDlg::Post(std::move(task));
  }
  // Posts from now on are held.
  void Hold() {
    std::lock_guard lock(m_mutex);
    m_bHold = true;
  }
  // Waits until ready() holds, checked again at every held post.
  bool WaitHeld(const std::function<bool()>& ready) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(kTimeoutMs), ready);
  }
  // Posts go through again; what was held stays held.
  void StopHolding() {
    std::lock_guard lock(m_mutex);
    m_bHold = false;
  }
  // Posts what was held, after whatever has been posted since.
  void ReleaseHeld() {
    std::vector<std::function<void()>> held;
    {
      std::lock_guard lock(m_mutex);
      held.swap(m_held);
    }
    for (auto& task : held) CServerDlg::Post(std::move(task));
  }

 private:
  std::atomic<int> m_nBound{0};
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bHold = false;
  std::vector<std::function<void()>> m_held;
};

QWidget* NextTabStop(QWidget* widget) {
  QWidget* next = widget->nextInFocusChain();
  while (!(next->focusPolicy() & Qt::TabFocus)) next = next->nextInFocusChain();
  return next;
}

// Answers the next message box with `answer` and records what it asked.
struct BoxAnswer {
  explicit BoxAnswer(QMessageBox::StandardButton button) : answer(button) {}
  QMessageBox::StandardButton answer;
  QString strText;
  QString strCaption;
  QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
  ModalWatcher watcher{[this](QWidget* modal) {
                         auto* box = qobject_cast<QMessageBox*>(modal);
                         if (box == nullptr) {
                           modal->close();
                           return;
                         }
                         strText = box->text();
                         strCaption = box->windowTitle();
                         defaultButton = box->standardButton(box->defaultButton());
                         box->button(answer)->click();
                       },
                       nullptr, 500};
};

}  // namespace

class ServerDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    m_dlg = std::make_unique<BoundDlg>();
    m_dlg->show();
    m_nPort = quarvent::test::ReservePort();
    QVERIFY(m_nPort > 0);
  }
  // The services call the test dialog's Post: they are joined while it is
  // whole, on their last posts.
  void cleanup() {
    m_dlg->StopHolding();
    m_dlg->ReleaseHeld();
    m_dlg->OnStopListen();
    QTRY_COMPARE_WITH_TIMEOUT(m_dlg->Controller().ServiceThreads(), 0, kTimeoutMs);
    m_dlg.reset();
  }

  void StartUpState() {
    const CServerDlg& dlg = *m_dlg;
    QCOMPARE(dlg.windowTitle(), QStringLiteral("クァルヴェント（模擬サーバ）"));
    QCOMPARE(PortField(dlg)->text(), QStringLiteral("49152"));
    QCOMPARE(dlg.GetPort(), 49152);
    QVERIFY(Idle(dlg));
    QCOMPARE(Status(dlg), QStringLiteral("←「待受開始」をクリックして下さい"));
    auto* progress = GetDlgItem<QProgressBar>(&dlg, CServerDlg::kIdcProgress);
    QCOMPARE(progress->minimum(), 0);
    QCOMPARE(progress->maximum(), 100);
    QVERIFY(Button(dlg, CServerDlg::kIdcStartListen)->isDefault());
    QCOMPARE(Button(dlg, CServerDlg::kIdcStartListen)->text(), QStringLiteral("待受開始"));
    QCOMPARE(Button(dlg, CServerDlg::kIdcStopListen)->text(), QStringLiteral("中断"));
    // No OK and no Cancel: the two buttons are all there is.
    QCOMPARE(dlg.findChildren<QPushButton*>().size(), 2);
    QVERIFY(!dlg.Controller().TcpRunning());
  }

  void TemplateGeometryAndTabOrder() {
    const CServerDlg& dlg = *m_dlg;
    const quarvent::DialogUnits du(dlg.font());
    QCOMPARE(dlg.size(), du.Size(210, 55));
    auto* label = dlg.findChild<QLabel*>(QStringLiteral("portLabel"));
    QCOMPARE(label->text(), QStringLiteral("ﾎﾟｰﾄ番号:"));
    QCOMPARE(label->geometry(), du.Rect(8, 6, 30, 8));
    QCOMPARE(PortField(dlg)->geometry(), du.Rect(48, 4, 24, 12));
    QVERIFY(PortField(dlg)->alignment().testFlag(Qt::AlignRight));
    QCOMPARE(quarvent::FindControl(&dlg, CServerDlg::kIdcProgress)->geometry(),
             du.Rect(80, 4, 64, 12));
    QCOMPARE(Button(dlg, CServerDlg::kIdcStartListen)->geometry(), du.Rect(4, 24, 68, 28));
    QCOMPARE(quarvent::FindControl(&dlg, CServerDlg::kIdcStatus)->geometry(),
             du.Rect(80, 38, 128, 14));
    QCOMPARE(Button(dlg, CServerDlg::kIdcStopListen)->geometry(), du.Rect(176, 4, 30, 14));
    // Tab stops: port field, 待受開始, 中断.
    QCOMPARE(NextTabStop(PortField(dlg)), Button(dlg, CServerDlg::kIdcStartListen));
    QCOMPARE(NextTabStop(Button(dlg, CServerDlg::kIdcStartListen)),
             Button(dlg, CServerDlg::kIdcStopListen));
  }

  void StartServeStopAndStartAgain() {
    CServerDlg& dlg = *m_dlg;
    StartListening(dlg);
    QVERIFY(Listening(dlg));
    QCOMPARE(dlg.GetPort(), m_nPort);
    QTRY_COMPARE_WITH_TIMEOUT(Status(dlg), QString::fromUtf8(kListening), kTimeoutMs);

    TcpTestClient client;
    QVERIFY(client.ConnectAndNegotiate(m_nPort));
    QVERIFY(client.Exchange());
    QTRY_COMPARE_WITH_TIMEOUT(Status(dlg), QStringLiteral("TCP 通信中"), kTimeoutMs);
    QVERIFY(dlg.Controller().Connected());
    QVERIFY(client.End());
    client.Close();
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.Controller().Connected(), kTimeoutMs);

    Button(dlg, CServerDlg::kIdcStopListen)->click();
    QVERIFY(Idle(dlg));
    QCOMPARE(Status(dlg), QStringLiteral("←「待受開始」をクリックして下さい"));
    QVERIFY(!dlg.Controller().TcpRunning());
    QVERIFY(!dlg.Controller().UdpRunning());
    // Nothing that the stopped services posted shows up afterwards: after the
    // stop they post nothing more, and whatever they posted before is
    // delivered here, in order.
    QCoreApplication::sendPostedEvents(&dlg);
    QCOMPARE(Status(dlg), QStringLiteral("←「待受開始」をクリックして下さい"));

    // The same port again: neither protocol fails to bind.
    ClickStartAndWaitBound(dlg);
    QVERIFY(Listening(dlg));
    QTRY_COMPARE_WITH_TIMEOUT(Status(dlg), QString::fromUtf8(kListening), kTimeoutMs);
    TcpTestClient again;
    QVERIFY(again.ConnectAndNegotiate(m_nPort));
    QCOMPARE(quarvent::test::UdpNegotiate(m_nPort, 0), std::string(kIdentifier));
    QVERIFY(Listening(dlg));
    Button(dlg, CServerDlg::kIdcStopListen)->click();
    QVERIFY(Idle(dlg));
  }

  void PortAbove65535IsTakenModulo65536() {
    CServerDlg& dlg = *m_dlg;
    PortField(dlg)->setText(QString::number(m_nPort + 65536));
    Button(dlg, CServerDlg::kIdcStartListen)->click();
    QCOMPARE(dlg.GetPort(), m_nPort + 65536);
    TcpTestClient client;
    QVERIFY(client.ConnectAndNegotiate(m_nPort));
    QCOMPARE(quarvent::test::UdpNegotiate(m_nPort, 0), std::string(kIdentifier));
  }

  void NonIntegerPortKeepsThePreviousValue() {
    CServerDlg& dlg = *m_dlg;
    StartListening(dlg);
    Button(dlg, CServerDlg::kIdcStopListen)->click();
    PortField(dlg)->setText(QStringLiteral("abc"));
    BoxAnswer answer(QMessageBox::Ok);
    Button(dlg, CServerDlg::kIdcStartListen)->click();
    QCOMPARE(answer.watcher.Count(), 1);
    QCOMPARE(answer.strText, CServerDlg::NotIntegerText());
    QCOMPARE(answer.strCaption, QStringLiteral("クァルヴェント（模擬サーバ）"));
    // The start went on with the port of before.
    QCOMPARE(dlg.GetPort(), m_nPort);
    QVERIFY(Listening(dlg));
    TcpTestClient client;
    QVERIFY(client.ConnectAndNegotiate(m_nPort));
  }

  void RejectedNegotiationLeavesUdpListening() {
    CServerDlg& dlg = *m_dlg;
    StartListening(dlg);
    TcpTestClient client;
    QVERIFY(client.Connect(m_nPort));
    const std::string reply = client.SendLine("QUARVENTOLIS-PIPEGAUGER 99:3");
    QVERIFY(!reply.empty());
    QVERIFY(reply != kIdentifier);
    // The TCP service ended by itself: the controls are idle again ...
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.Controller().TcpRunning(), kTimeoutMs);
    // ... while the UDP service still answers.
    QVERIFY(dlg.Controller().UdpRunning());
    QCOMPARE(quarvent::test::UdpNegotiate(m_nPort, 0), std::string(kIdentifier));
    // A new start replaces the survivor on the same port.
    Button(dlg, CServerDlg::kIdcStartListen)->click();
    TcpTestClient again;
    QVERIFY(again.ConnectAndNegotiate(m_nPort));
  }

  void CloseAsksOnlyWhileATcpClientIsConnected() {
    CServerDlg& dlg = *m_dlg;
    StartListening(dlg);
    TcpTestClient client;
    QVERIFY(client.ConnectAndNegotiate(m_nPort));
    QTRY_VERIFY_WITH_TIMEOUT(dlg.Controller().Connected(), kTimeoutMs);
    {
      BoxAnswer no(QMessageBox::No);
      dlg.close();
      QCOMPARE(no.watcher.Count(), 1);
      QCOMPARE(no.strText, QStringLiteral("接続しているクライアントがあります。終了しますか？"));
      QCOMPARE(no.strCaption, QStringLiteral("終了確認"));
      QCOMPARE(no.defaultButton, QMessageBox::No);
    }
    // No: everything goes on.
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.Controller().TcpRunning());
    QVERIFY(client.Exchange());
    {
      BoxAnswer yes(QMessageBox::Yes);
      dlg.close();
      QCOMPARE(yes.watcher.Count(), 1);
    }
    QVERIFY(!dlg.isVisible());
    QVERIFY(!dlg.Controller().TcpRunning());
    QVERIFY(!dlg.Controller().UdpRunning());
  }

  void CloseWithoutClientAsksNothing() {
    CServerDlg& dlg = *m_dlg;
    StartListening(dlg);
    // A UDP client does not count.
    QCOMPARE(quarvent::test::UdpNegotiate(m_nPort, 0), std::string(kIdentifier));
    BoxAnswer answer(QMessageBox::No);
    dlg.close();
    QCOMPARE(answer.watcher.Count(), 0);
    QVERIFY(!dlg.isVisible());
    QVERIFY(!dlg.Controller().UdpRunning());
  }

  void EscapeEndsWithoutAQuestion() {
    CServerDlg& dlg = *m_dlg;
    StartListening(dlg);
    TcpTestClient client;
    QVERIFY(client.ConnectAndNegotiate(m_nPort));
    QTRY_VERIFY_WITH_TIMEOUT(dlg.Controller().Connected(), kTimeoutMs);
    BoxAnswer answer(QMessageBox::No);
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QCOMPARE(answer.watcher.Count(), 0);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QVERIFY(!dlg.Controller().TcpRunning());
    QVERIFY(!dlg.Controller().UdpRunning());
  }

  void AboutEntryOpensTheServerAboutBox() {
    QString name;
    ModalWatcher watcher(
        [&](QWidget* modal) {
          if (auto* label = modal->findChild<QLabel*>(QStringLiteral("aboutName")))
            name = label->text();
          modal->close();
        },
        nullptr, 1000);
    m_dlg->OnSysCommand(quarvent::kIdmAboutBox, 0);
    QCOMPARE(watcher.Count(), 1);
    QCOMPARE(name, QStringLiteral("クァルヴェント（模擬ｻｰﾊﾞ） Version 1.0"));
  }

  // A start whose TCP service could not bind its taken port is stopped, and
  // the next one begins, before what the first posted arrives: that is
  // dropped, and the dialog shows only the second start's.
  void ChangesOfAStoppedStartArriveLateAndAreDropped() {
    BoundDlg& dlg = *m_dlg;
    quarvent::Socket taken = quarvent::Socket::Tcp();
    const sockaddr_in addr = quarvent::test::Loopback(m_nPort);
    QCOMPARE(::bind(taken.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    QCOMPARE(::listen(taken.Fd(), 1), 0);
    PortField(dlg)->setText(QString::number(m_nPort));
    dlg.Hold();
    Button(dlg, CServerDlg::kIdcStartListen)->click();
    // The TCP service's error, idle state and cleared handle are held.
    QVERIFY(dlg.WaitHeld([&dlg] { return !dlg.Controller().TcpRunning(); }));
    Button(dlg, CServerDlg::kIdcStopListen)->click();
    taken.Reset();
    dlg.StopHolding();
    dlg.ForgetBound();
    Button(dlg, CServerDlg::kIdcStartListen)->click();
    dlg.ReleaseHeld();
    QCoreApplication::sendPostedEvents(&dlg);  // the held changes arrive last
    QVERIFY(Listening(dlg));
    QVERIFY(!Status(dlg).startsWith(QStringLiteral("bind()")));
    QTRY_VERIFY_WITH_TIMEOUT(dlg.BothBound(), kTimeoutMs);
    QVERIFY(Listening(dlg));
    QCOMPARE(Status(dlg), QString::fromUtf8(kListening));
    QVERIFY(dlg.Controller().TcpRunning());
  }

  // A progress update of a stopped start is still to come while the next
  // start streams: the bar follows the new start, and the old update shows
  // nothing when it arrives.
  void ProgressOfTheNextStartIsNotHeldBackByAStaleUpdate() {
    BoundDlg& dlg = *m_dlg;
    QProgressBar* bar = GetDlgItem<QProgressBar>(&dlg, CServerDlg::kIdcProgress);
    StartListening(dlg);
    dlg.Hold();
    {
      TcpTestClient first;
      QVERIFY(first.ConnectAndNegotiate(m_nPort, 7));
      // Chunk 81 moves the bar; the service reads the next request after that.
      for (int i = 0; i < 82; ++i) QVERIFY(first.Exchange());
      Button(dlg, CServerDlg::kIdcStopListen)->click();
    }
    dlg.StopHolding();
    ClickStartAndWaitBound(dlg);
    TcpTestClient second;
    QVERIFY(second.ConnectAndNegotiate(m_nPort, 7));
    for (int i = 0; i < 163; ++i) QVERIFY(second.Exchange());
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 2, kTimeoutMs);
    dlg.ReleaseHeld();
    QCoreApplication::sendPostedEvents(&dlg);
    QCOMPARE(bar->value(), 2);
  }

  void ReceiveErrorNoticeWaitsAndAStopClosesIt() {
    CServerDlg& dlg = *m_dlg;
    // The controller makes the call on the dialog's thread.
    quarvent::NoticeAck first;
    dlg.ShowRecvErrorNotice(quarvent::ServiceKind::kTcp, "recv() Error : 104", first);
    QTRY_VERIFY(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr);
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    QCOMPARE(box->text(), QStringLiteral("recv() Error : 104"));
    QCOMPARE(box->windowTitle(), QStringLiteral("クァルヴェント（模擬サーバ）"));
    QVERIFY(!first.Acknowledged());
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(first.Acknowledged());

    quarvent::NoticeAck second;
    dlg.ShowRecvErrorNotice(quarvent::ServiceKind::kUdp, "recvfrom() Error : 111", second);
    QTRY_VERIFY(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr);
    dlg.OnStopListen();
    QTRY_COMPARE(QApplication::activeModalWidget(), nullptr);
  }

 private:
  // Types the test's port, clicks 待受開始 and waits until both services
  // have bound the port.
  void StartListening(CServerDlg& dlg) {
    PortField(dlg)->setText(QString::number(m_nPort));
    ClickStartAndWaitBound(dlg);
  }
  void ClickStartAndWaitBound(CServerDlg& dlg) {
    m_dlg->ForgetBound();
    Button(dlg, CServerDlg::kIdcStartListen)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->BothBound(), kTimeoutMs);
  }

  std::unique_ptr<BoundDlg> m_dlg;
  int m_nPort = 0;
};

QUARVENT_UI_TEST(ServerDlgTest);

#include "server_dlg_test.moc"
