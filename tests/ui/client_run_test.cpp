// The measurement dialog over real runs on 127.0.0.1: against the server's
// own services on a free port, or a scripted server where a test needs a
// stall or a reset. Every delay is scaled down.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <future>

#include "client/ui/client_dlg.h"
#include "tests/client/script_server.h"
#include "tests/ui/client_dlg_support.h"
#include "tests/ui/loopback_client.h"
#include "tests/ui/ui_test_support.h"

using quarvent::CClientDlg;
using quarvent::kTcp;
using quarvent::testing::Conn;
using quarvent::testing::ScriptServer;
using namespace quarvent::test;

namespace {

// How long a wait for the dialog may take before the test fails: waits end as
// soon as their condition holds, the limit only turns a hang into a failure.
constexpr int kRunTimeoutMs = 30000;

int Entries(const char* dir) {
  return static_cast<int>(
      QDir(QString::fromLatin1(dir)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

QString Header(const char* protocol, int pattern) {
  return QStringLiteral("--- %1 (127.0.0.1) [%2] ---")
      .arg(QString::fromLatin1(protocol),
           QString::fromUtf8(quarvent::PatternEntryText(pattern).data()));
}

// Opens a promise that a scripted server waits for when the scope ends.
struct ReleaseOnExit {
  std::promise<void>& promise;
  ~ReleaseOnExit() { promise.set_value(); }
};

// Samples the elapsed text every few milliseconds and records every change of
// the selected pattern as it happens.
struct Sampler {
  explicit Sampler(const CClientDlg& dlg) : patterns{PatternList(dlg)->currentIndex()} {
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [this, &dlg] {
      const QString elapsed = Elapsed(dlg);
      if (elapsedTexts.isEmpty() || elapsedTexts.last() != elapsed) elapsedTexts << elapsed;
    });
    QObject::connect(PatternList(dlg), &QComboBox::currentIndexChanged, &timer,
                     [this](int pattern) {
                       if (patterns.last() != pattern) patterns << pattern;
                     });
    timer.start();
  }
  QTimer timer;
  QStringList elapsedTexts;
  QList<int> patterns;
};

}  // namespace

class ClientRunTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    m_nPort = ReservePort();
    QVERIFY(m_nPort > 0);
    m_server = std::make_unique<LoopbackServer>(m_nPort);
    QTRY_VERIFY(m_server->Ready());
    m_dlg = std::make_unique<CClientDlg>(FastTiming());
    m_dlg->show();
    PortField(*m_dlg)->setText(QString::number(m_nPort));
  }
  void cleanup() {
    m_dlg.reset();
    m_server.reset();
  }

  void ConnectionRefusedKeepsTheReportAndGoesIdle() {
    CClientDlg& dlg = *m_dlg;
    quarvent::Socket holder;
    PortField(dlg)->setText(QString::number(quarvent::testing::RefusingPort(&holder)));
    for (int i = 0; i < 2; ++i) {
      Button(dlg, CClientDlg::kIdcStart)->click();
      QTRY_VERIFY(Idle(dlg));  // once the run's connect is refused
    }
    const QString once =
        Header("TCP", 0) + QStringLiteral(
                               "\nConnection Refused. 疑似ｻｰﾊﾞは「待受状態」ですか？\n"
                               "ｱﾄﾞﾚｽ間違ってませんか？\n");
    QCOMPARE(Report(dlg), once + once);
    QVERIFY(Idle(dlg));
    QCOMPARE(dlg.Controller().SweepStartPattern(), 0);  // set before the connection attempt
  }

  void TcpRunReportLandsInTheBox() {
    CClientDlg& dlg = *m_dlg;
    Choose(dlg, CClientDlg::kIdcDuration15);
    PatternList(dlg)->setCurrentIndex(7);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QVERIFY(MeasuringControls(dlg));
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kRunTimeoutMs);
    const QStringList lines = Lines(dlg);
    QCOMPARE(lines.size(), 10);
    QCOMPARE(lines[0], Header("TCP", 7));
    QVERIFY(lines[1].startsWith(QStringLiteral("経過時間 : ")));  // 00.2xx, or more when loaded
    QVERIFY(lines[2].startsWith(QStringLiteral("トータルスループット : ")));
    QVERIFY(lines[3].startsWith(QStringLiteral("受信スループット : ")));
    QVERIFY(lines[4].startsWith(QStringLiteral("送信スループット : ")));
    QVERIFY(lines[5].startsWith(QStringLiteral("受信サイズ : ")));
    QCOMPARE(lines[6], QStringLiteral("受信：最小/最大 : 8192 / 8192"));
    QVERIFY(lines[7].startsWith(QStringLiteral("送信サイズ : ")));
    QCOMPARE(lines[8], QStringLiteral("送信：最小/最大 : 8192 / 8192"));
    QVERIFY(lines[9].startsWith(QStringLiteral("KernelTime / UserTime = ")));
    QCOMPARE(Elapsed(dlg), QString());
    QCOMPARE(Progress(dlg), 0);
    // The box shows the last line.
    QScrollBar* bar = ReportBox(dlg)->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
  }

  void UdpRun() {
    CClientDlg& dlg = *m_dlg;
    Choose(dlg, CClientDlg::kIdcDuration15);
    Choose(dlg, CClientDlg::kIdcUdp);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kRunTimeoutMs);
    const QStringList lines = Lines(dlg);
    QCOMPARE(lines.value(0), Header("UDP", 0));
    QVERIFY(lines.contains(QStringLiteral("受信：最小/最大 : 4096 / 4096")));
    QVERIFY(lines.contains(QStringLiteral("送信：最小/最大 : 4 / 4")));
  }

  void PortIsTakenModulo65536() {
    CClientDlg& dlg = *m_dlg;
    Choose(dlg, CClientDlg::kIdcDuration15);
    PortField(dlg)->setText(QString::number(m_nPort + 65536));
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kRunTimeoutMs);
    QCOMPARE(dlg.m_nPort, m_nPort + 65536);
    QVERIFY(Report(dlg).contains(QStringLiteral("\n受信：最小/最大 : 4096 / 4096\n")));
  }

  void SweepFromPattern8RunsToTheEndAndReselects8() {
    CClientDlg& dlg = *m_dlg;
    PatternList(dlg)->setCurrentIndex(8);
    Sampler sampler(dlg);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg) && dlg.Controller().SweepStartPattern() == -1,
                             kRunTimeoutMs);
    QStringList headers;
    for (const QString& line : Lines(dlg))
      if (line.startsWith(QStringLiteral("---"))) headers << line;
    QCOMPARE(headers, (QStringList{Header("TCP", 8), Header("TCP", 9), Header("TCP", 10)}));
    QCOMPARE(PatternList(dlg)->currentIndex(), 8);
    QCOMPARE(sampler.patterns, (QList<int>{8, 9, 10, 8}));
    QVERIFY(sampler.elapsedTexts.contains(QStringLiteral("テスト待ち ")));
    QCOMPARE(Elapsed(dlg), QString());
  }

  void AbortSeenByTheRunGivesAFullReport() {
    // The forced stop is put out of reach, so only the run can end the run.
    quarvent::ClientTiming timing = FastTiming();
    timing.forcedStopDelayMs = 10 * kRunTimeoutMs;
    CClientDlg& dlg = NewDialog(timing);
    Choose(dlg, CClientDlg::kIdcDurationContinuous);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_server->Controller().Connected(), kRunTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!Elapsed(dlg).isEmpty(), kRunTimeoutMs);  // the data phase runs
    Button(dlg, CClientDlg::kIdcAbort)->click();
    QCOMPARE(Elapsed(dlg), QStringLiteral("割込受付中"));
    QVERIFY(!Button(dlg, CClientDlg::kIdcAbort)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kRunTimeoutMs);
    QVERIFY(Lines(dlg).contains(QStringLiteral("ﾕｰｻﾞによる中断.")));
    QVERIFY(Report(dlg).contains(QStringLiteral("\n経過時間 : ")));
  }

  void AbortOfAStalledRunEndsInTheForcedStop() {
    CClientDlg& dlg = *m_dlg;
    // The server answers the negotiation, reads the first request and then
    // sends nothing until the test lets it go. Once that request has come, the
    // run has passed its abort check and waits in its receive, so it cannot
    // end by itself before the forced stop.
    std::atomic<bool> requested{false};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ScriptServer stall(kTcp, [&requested, released](Conn& conn) {
      conn.ReadLine();
      conn.Accept();
      char request[8192];
      if (::recv(conn.Fd(), request, sizeof request, MSG_WAITALL) == sizeof request)
        requested = true;
      released.wait_for(std::chrono::milliseconds(10 * kRunTimeoutMs));
    });
    // Released when the test ends, also after a failed check, so that the
    // server's thread can be joined.
    const ReleaseOnExit opener{release};
    PortField(dlg)->setText(QString::number(stall.Port()));
    PatternList(dlg)->setCurrentIndex(7);  // a request before every chunk
    Choose(dlg, CClientDlg::kIdcDurationContinuous);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(requested.load(), kRunTimeoutMs);
    QElapsedTimer sinceAbort;
    sinceAbort.start();
    Button(dlg, CClientDlg::kIdcAbort)->click();
    QCOMPARE(Elapsed(dlg), QStringLiteral("割込受付中"));
    QVERIFY(MeasuringControls(dlg, false));
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kRunTimeoutMs);
    // The dialog waited for the run until the forced stop: never less than its
    // delay (a coarse timer may fire up to 5 % early; load only makes it later).
    QVERIFY2(sinceAbort.elapsed() >= FastTiming().forcedStopDelayMs * 9 / 10,
             qPrintable(QString::number(sinceAbort.elapsed())));
    QCOMPARE(Elapsed(dlg), QString());
    QCOMPARE(Progress(dlg), 0);
    // The forced stop adds nothing to the report.
    QCOMPARE(Lines(dlg), QStringList{Header("TCP", 7)});
  }

  void AbortInTheSweepPauseEndsTheSweep() {
    CClientDlg& dlg = StartSweepIntoItsPause(600);
    QTRY_COMPARE_WITH_TIMEOUT(Elapsed(dlg), QStringLiteral("テスト待ち "), kRunTimeoutMs);
    QVERIFY(MeasuringControls(dlg));
    Button(dlg, CClientDlg::kIdcAbort)->click();
    QVERIFY(Idle(dlg));
    QCOMPARE(PatternList(dlg)->currentIndex(), 9);
    QCOMPARE(dlg.Controller().SweepStartPattern(), -1);
    QCOMPARE(Elapsed(dlg), QString());
    QTest::qWait(700);  // past the moment the next run was due
    QVERIFY(Idle(dlg));
    QVERIFY(!Report(dlg).contains(Header("TCP", 10)));
    QCOMPARE(Lines(dlg).last(), QStringLiteral("ﾕｰｻﾞによる中断."));  // after run 9's report
  }

  void EscapeInTheSweepPauseEndsEverything() {
    CClientDlg& dlg = StartSweepIntoItsPause(400);
    QTRY_COMPARE_WITH_TIMEOUT(Elapsed(dlg), QStringLiteral("テスト待ち "), kRunTimeoutMs);
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QTest::qWait(500);  // past the moment the next run was due
    QVERIFY(!Report(dlg).contains(Header("TCP", 10)));
    QVERIFY(!m_server->Controller().Connected());
  }

  void ReceiveErrorIsAModalBoxWhileTheRunWaits() {
    CClientDlg& dlg = *m_dlg;
    ScriptServer resetting(kTcp, [](Conn& conn) {
      conn.ReadLine();
      conn.Accept();
      conn.SendChunk(4096, 4096);
      conn.Hold(50);
      const linger reset{1, 0};  // the close sends a reset
      ::setsockopt(conn.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    });
    PortField(dlg)->setText(QString::number(resetting.Port()));
    Choose(dlg, CClientDlg::kIdcDuration15);
    QCoreApplication::setApplicationName(QStringLiteral("client"));
    QString text, caption, reportMeanwhile;
    bool wasBox = false;
    ModalWatcher watcher(
        [&](QWidget* modal) {
          // A failure here must not leave the modal window open (its loop
          // would never return): it is noted, and the test body fails.
          auto* box = qobject_cast<QMessageBox*>(modal);
          if (box == nullptr) {
            modal->close();
            return;
          }
          wasBox = true;
          text = box->text();
          caption = box->windowTitle();
          reportMeanwhile = Report(dlg);
          box->button(QMessageBox::Ok)->click();
        },
        &dlg, kRunTimeoutMs);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kRunTimeoutMs);
    QCoreApplication::setApplicationName(QStringLiteral("server"));
    QCOMPARE(watcher.Count(), 1);
    QVERIFY(wasBox);
    QCOMPARE(text, QStringLiteral("recv() Error : 104"));
    QCOMPARE(caption, QStringLiteral("クァルヴェント（模擬端末）"));
    QCOMPARE(reportMeanwhile, Header("TCP", 0) + u'\n');
    QVERIFY(Lines(dlg).contains(QStringLiteral("ヘッダ受信失敗.")));
  }

  void ReportCanBeCopiedDuringARun() {
    CClientDlg& dlg = *m_dlg;
    Choose(dlg, CClientDlg::kIdcDurationContinuous);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_server->Controller().Connected(), kRunTimeoutMs);
    QApplication::clipboard()->clear();
    QPlainTextEdit* box = ReportBox(dlg);
    QVERIFY(box->isEnabled());
    box->setFocus();
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), Header("TCP", 0) + u'\n');
    QVERIFY(MeasuringControls(dlg));
    Button(dlg, CClientDlg::kIdcAbort)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kRunTimeoutMs);
  }

  // The run connects on its own thread: the dialog is free while the system
  // has not answered, and closing it then stops the connect at once.
  void ConnectWaitLeavesTheDialogFreeAndACloseStopsIt() {
    CClientDlg& dlg = *m_dlg;
    // A listener whose accept queue is full: the system drops the next SYN,
    // so the run's connect waits for the retransmission.
    quarvent::Socket listener = quarvent::Socket::Tcp();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    QVERIFY(::bind(listener.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    QVERIFY(::listen(listener.Fd(), 0) == 0);
    QVERIFY(::getsockname(listener.Fd(), reinterpret_cast<sockaddr*>(&addr), &size) == 0);
    quarvent::Socket filler = quarvent::Socket::Tcp();
    QVERIFY(::connect(filler.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    PortField(dlg)->setText(QString::number(ntohs(addr.sin_port)));

    Button(dlg, CClientDlg::kIdcStart)->click();
    QVERIFY(MeasuringControls(dlg, true));
    QCOMPARE(Report(dlg), Header("TCP", 0) + u'\n');
    dlg.close();
    QVERIFY(!dlg.isVisible());
    // The stopped run ends by itself and is joined; nothing of it reaches the box.
    QTRY_VERIFY_WITH_TIMEOUT(dlg.Controller().Settled(), kRunTimeoutMs);
    QCOMPARE(Report(dlg), Header("TCP", 0) + u'\n');
  }

  void ClosingDuringARunLeavesNoThreadOrSocket() {
    const int fds = Entries("/proc/self/fd");
    const int tasks = Entries("/proc/self/task");
    CClientDlg& dlg = *m_dlg;
    Choose(dlg, CClientDlg::kIdcDurationContinuous);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_server->Controller().Connected(), kRunTimeoutMs);
    QTRY_VERIFY(!Elapsed(dlg).isEmpty());
    QVERIFY(Entries("/proc/self/task") > tasks);
    dlg.close();
    QVERIFY(!dlg.isVisible());
    m_dlg.reset();
    QTRY_COMPARE_WITH_TIMEOUT(Entries("/proc/self/task"), tasks, kRunTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!m_server->Controller().Connected(), kRunTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(Entries("/proc/self/fd"), fds, kRunTimeoutMs);
  }

 private:
  // A new dialog with the given delays, shown, on the test's port.
  CClientDlg& NewDialog(const quarvent::ClientTiming& timing) {
    m_dlg = std::make_unique<CClientDlg>(timing);
    m_dlg->show();
    PortField(*m_dlg)->setText(QString::number(m_nPort));
    return *m_dlg;
  }

  // A new dialog whose automatic sweep pauses pauseMs between its runs,
  // started at pattern 9.
  CClientDlg& StartSweepIntoItsPause(int pauseMs) {
    quarvent::ClientTiming timing = FastTiming();
    timing.sweepNextDelayMs = pauseMs;
    CClientDlg& dlg = NewDialog(timing);
    PatternList(dlg)->setCurrentIndex(9);
    Button(dlg, CClientDlg::kIdcStart)->click();
    return dlg;
  }

  int m_nPort = 0;
  std::unique_ptr<LoopbackServer> m_server;
  std::unique_ptr<CClientDlg> m_dlg;
};

QUARVENT_UI_TEST(ClientRunTest);

#include "client_run_test.moc"
