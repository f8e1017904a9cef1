// The listen dialog when the system cannot create a service thread.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "common/ui/dialog_units.h"
#include "server/ui/server_dlg.h"
#include "tests/server/failing_starter.h"
#include "tests/support/loopback.h"
#include "tests/ui/ui_test_support.h"

using quarvent::CServerDlg;
using quarvent::GetDlgItem;
using quarvent::ListenController;
using quarvent::test::FailingStarter;

namespace {}  // namespace

class ServerDlgThreadTest : public QObject {
  Q_OBJECT

 private slots:
  // 待受開始 that cannot create the TCP (1) or the UDP (2) thread leaves the
  // controls idle and says why on the status line; the dialog closes at once.
  void ThreadCreationFailureLeavesTheControlsIdle_data() {
    QTest::addColumn<int>("failAt");
    QTest::newRow("TCP thread") << 1;
    QTest::newRow("UDP thread") << 2;
  }
  void ThreadCreationFailureLeavesTheControlsIdle() {
    QFETCH(int, failAt);
    CServerDlg dlg;
    dlg.show();
    const int port = quarvent::test::ReservePort();
    QVERIFY(port > 0);
    dlg.Controller().SetThreadStarter(FailingStarter(failAt));
    GetDlgItem<QLineEdit>(&dlg, CServerDlg::kIdcPort)->setText(QString::number(port));
    GetDlgItem<QPushButton>(&dlg, CServerDlg::kIdcStartListen)->click();

    QVERIFY(GetDlgItem<QPushButton>(&dlg, CServerDlg::kIdcStartListen)->isEnabled());
    QVERIFY(!GetDlgItem<QPushButton>(&dlg, CServerDlg::kIdcStopListen)->isEnabled());
    QVERIFY(GetDlgItem<QLineEdit>(&dlg, CServerDlg::kIdcPort)->isEnabled());
    QCOMPARE(GetDlgItem<QLabel>(&dlg, CServerDlg::kIdcStatus)->text(),
             QStringLiteral("スレッド作成失敗."));
    QVERIFY(!dlg.Controller().TcpRunning());
    QVERIFY(!dlg.Controller().UdpRunning());
    QVERIFY(!dlg.Controller().Connected());
    dlg.reject();  // an end of the dialog stops and joins nothing that hangs
  }
};

QUARVENT_UI_TEST(ServerDlgThreadTest);

#include "server_dlg_thread_test.moc"
