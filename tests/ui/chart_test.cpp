// The client dialog's chart and saved results: the bounded history, the
// coalesced redraw, the window-menu entries and their keys, the chart fed by
// every interval of every run of a real sweep on 127.0.0.1, and the three
// kinds of results file checked against the report they were saved beside.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "client/csv_report.h"
#include "client/format.h"
#include "client/ui/chart_history.h"
#include "client/ui/chart_widget.h"
#include "client/ui/chart_window.h"
#include "client/ui/client_dlg.h"
#include "tests/support/loopback.h"
#include "tests/ui/client_dlg_support.h"
#include "tests/ui/ui_test_support.h"

using quarvent::CChartWidget;
using quarvent::CClientDlg;
using quarvent::ChartHistory;
using quarvent::ChartRun;
using quarvent::IntervalData;
using namespace quarvent::test;

namespace {

// Waits end as soon as their condition holds; the limit only turns a hang
// into a failure.
constexpr int kRunTimeoutMs = 30000;

IntervalData Interval(int run, int64_t startMs, int64_t endMs, int64_t received) {
  IntervalData i;
  i.run = run;
  i.pattern = 3;
  i.startMs = startMs;
  i.endMs = endMs;
  i.bytesReceived = received;
  i.bytesSent = received / 2;
  i.requests = 1;
  i.rtt.count = 1;
  i.rtt.p50 = 100;
  i.rtt.p99 = 900;
  return i;
}

QByteArray FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The report's size line for a byte count, as the report box shows it.
QString SizeLine(const char* prefix, int64_t bytes) {
  char line[128];
  quarvent::FormatSize(line, sizeof line, prefix, bytes);
  return QString::fromUtf8(line).trimmed();
}

// A new dialog on a loopback server, with intervals of 100 ms so that the
// short runs of the tests have several.
struct DialogOnServer {
  DialogOnServer() {
    port = ReservePort();
    if (port <= 0) return;
    server = std::make_unique<LoopbackServer>(port);
    dlg = std::make_unique<CClientDlg>(FastTiming());
    dlg->m_nIntervalMs = 100;
    dlg->show();
    PortField(*dlg)->setText(QString::number(port));
  }
  int port = 0;
  std::unique_ptr<LoopbackServer> server;
  std::unique_ptr<CClientDlg> dlg;
};

}  // namespace

class ChartTest : public QObject {
  Q_OBJECT

 private slots:
  void HistoryKeepsTheLastHourOfEachRunAndAtMostItsCap() {
    ChartHistory history;
    // Two hours of 1-second intervals: the last hour stays, every one was seen.
    for (int s = 0; s < 7200; ++s) history.AddInterval(Interval(0, s * 1000, s * 1000 + 1000, 1));
    QCOMPARE(history.PointCount(), size_t{3600});
    const ChartRun& run = history.Runs().front();
    QCOMPARE(run.intervals, uint64_t{7200});
    QCOMPARE(run.points.front().startS, 3600.0);
    QCOMPARE(run.points.back().endS, 7200.0);
    // The next run follows it on the time line, and the total stays capped:
    // an hour of 100-ms intervals is more than the cap by itself.
    for (int i = 0; i < 36000; ++i) history.AddInterval(Interval(1, i * 100, i * 100 + 100, 1));
    QCOMPARE(history.PointCount(), ChartHistory::kMaxPoints);
    QCOMPARE(history.Runs().size(), size_t{2});
    QVERIFY(history.Runs()[0].points.empty());  // the oldest went first
    QCOMPARE(history.Runs()[1].offsetS, 7200.0);
    QCOMPARE(history.Runs()[1].points.back().endS, 7200.0 + 3600.0);
    history.Clear();
    QCOMPARE(history.PointCount(), size_t{0});
    QVERIFY(history.Runs().empty());
  }

  void RedrawsAreCoalescedAndHiddenChartsDoNotDraw() {
    ChartHistory history;
    CChartWidget chart(history);
    chart.resize(chart.sizeHint());
    for (int i = 0; i < 50; ++i) {
      history.AddInterval(Interval(0, i * 1000, i * 1000 + 1000, 1 << 20));
      chart.HistoryChanged();
    }
    QTest::qWait(3 * CChartWidget::kRedrawDelayMs);  // a hidden chart has nothing to show
    QCOMPARE(chart.PaintCount(), 0);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QTRY_VERIFY_WITH_TIMEOUT(chart.PaintCount() > 0, kRunTimeoutMs);
    const int shown = chart.PaintCount();
    // A thousand intervals handed over at once are drawn later, together.
    for (int i = 50; i < 1050; ++i) {
      history.AddInterval(Interval(0, i * 1000, i * 1000 + 1000, 1 << 20));
      chart.HistoryChanged();
    }
    QCOMPARE(chart.PaintCount(), shown);  // none drawn while they came
    QTRY_VERIFY_WITH_TIMEOUT(chart.PaintCount() > shown, kRunTimeoutMs);
  }

  void MenuEntriesSitAboveTheSeparatorWithTheirKeys() {
    CClientDlg dlg(FastTiming());
    dlg.show();
    const QList<QAction*> actions = dlg.GetSystemMenu()->actions();
    QCOMPARE(actions.size(), 6);
    QCOMPARE(actions[0]->text(), QStringLiteral("最小化(&N)"));
    QCOMPARE(actions[1]->text(), QStringLiteral("閉じる(&C)"));
    QCOMPARE(actions[2]->text(), QStringLiteral("グラフ"));
    QCOMPARE(actions[2]->shortcut(), QKeySequence(QStringLiteral("Ctrl+G")));
    QCOMPARE(actions[3]->text(), QStringLiteral("結果を保存..."));
    QCOMPARE(actions[3]->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
    QVERIFY(!actions[3]->isEnabled());  // nothing measured yet
    QVERIFY(actions[4]->isSeparator());
    QCOMPARE(actions[5]->data().toUInt(), quarvent::kIdmAboutBox);

    // The key opens the chart beside the dialog, which stays usable.
    QApplication::setActiveWindow(&dlg);
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    QCOMPARE(dlg.ChartWindow(), nullptr);
    int routed = 0;
    connect(dlg.GetSystemMenu(), &QMenu::triggered, this, [&routed] { ++routed; });
    QTest::keyClick(&dlg, Qt::Key_G, Qt::ControlModifier);
    QCOMPARE(routed, 1);  // through the menu's routing, once
    QVERIFY(dlg.ChartWindow() != nullptr);
    quarvent::CChartWindow& chart = *dlg.ChartWindow();
    QVERIFY(chart.isVisible());
    QCOMPARE(chart.windowTitle(), QStringLiteral("グラフ"));
    QVERIFY(chart.isWindow());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QVERIFY(Idle(dlg));
    // Closing it hides it; the same window comes back.
    chart.close();
    QVERIFY(!chart.isVisible());
    QVERIFY(dlg.isVisible());
    QVERIFY(Idle(dlg));
    actions[2]->trigger();
    QCOMPARE(dlg.ChartWindow(), &chart);
    QVERIFY(chart.isVisible());
    // The dialog's end takes the chart with it.
    dlg.close();
    QVERIFY(!chart.isVisible());
  }

  void ChartReceivesEveryIntervalOfEachRunOfASweep() {
    DialogOnServer setup;
    QVERIFY(setup.port > 0);
    QTRY_VERIFY(setup.server->Ready());
    CClientDlg& dlg = *setup.dlg;
    dlg.OnSysCommand(CClientDlg::kIdmChart, 0);  // open before the start, drawing as it goes
    CChartWidget* chart = dlg.ChartWindow()->Chart();
    QTRY_VERIFY_WITH_TIMEOUT(chart->PaintCount() > 0, kRunTimeoutMs);
    const int beforeStart = chart->PaintCount();
    PatternList(dlg)->setCurrentIndex(8);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg) && dlg.Controller().SweepStartPattern() == -1,
                             kRunTimeoutMs);
    // The hand-overs made the open chart redraw.
    QTRY_VERIFY_WITH_TIMEOUT(chart->PaintCount() > beforeStart, kRunTimeoutMs);

    const std::vector<ChartRun>& runs = dlg.History().Runs();
    const auto& ends = dlg.Log().RunEnds();
    QCOMPARE(runs.size(), size_t{3});
    QCOMPARE(ends.size(), size_t{3});
    double offset = 0;
    for (int r = 0; r < 3; ++r) {
      const ChartRun& run = runs[r];
      QCOMPARE(run.pattern, 8 + r);
      QVERIFY(run.ended);
      QCOMPARE(run.offsetS, offset);
      // Every interval is there, one after the other from 0 to the run's
      // end, and they add up to the run's totals.
      uint64_t logged = 0;
      for (const IntervalData& interval : dlg.Log().Intervals()) logged += interval.run == r;
      QVERIFY(logged >= 1);
      QCOMPARE(run.intervals, logged);
      QCOMPARE(uint64_t(run.points.size()), logged);
      double at = run.offsetS;
      int64_t received = 0, sent = 0;
      bool rtt = false;
      for (const quarvent::ChartPoint& point : run.points) {
        QCOMPARE(point.startS, at);
        at = point.endS;
        received += point.bytesReceived;
        sent += point.bytesSent;
        rtt = rtt || point.hasRtt;
      }
      QCOMPARE(at, run.offsetS + ends[r].elapsedMs / 1000.0);
      QCOMPARE(received, ends[r].bytesReceived);
      QCOMPARE(sent, ends[r].bytesSent);
      QVERIFY(received > 0);
      QVERIFY(rtt);  // request and response: round trips were drawn
      offset = run.offsetS + run.lengthS;
    }

    // The next 測定開始 begins a new chart.
    Choose(dlg, CClientDlg::kIdcDuration15);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kRunTimeoutMs);
    QCOMPARE(dlg.History().Runs().size(), size_t{1});
    QCOMPARE(dlg.History().Runs().front().pattern, 8);
    QCOMPARE(dlg.Log().RunEnds().size(), size_t{1});
  }

  void SaveAsksForAFileTakesTheTypeChosenAndLeavesNoSettings() {
    CClientDlg dlg(FastTiming());
    dlg.show();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Qt's file dialog keeps its state in QtProject.conf: it must not be
    // written (nor created) by saving.
    const QFileInfo conf(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/QtProject.conf"));
    const bool confBefore = conf.exists();
    const QDateTime confTime = conf.lastModified();
    bool wasFileDialog = false;
    ModalWatcher watcher(
        [&](QWidget* modal) {
          auto* files = qobject_cast<QFileDialog*>(modal);
          if (files == nullptr) {
            modal->close();
            return;
          }
          wasFileDialog = true;
          files->selectNameFilter(QStringLiteral("CSV (*.csv)"));
          files->selectFile(dir.filePath(QStringLiteral("kept")));  // no suffix
          static_cast<QDialog*>(files)->accept();                   // as its save button does
        },
        &dlg, kRunTimeoutMs);
    dlg.OnSaveResults();
    QCOMPARE(watcher.Count(), 1);
    QVERIFY(wasFileDialog);
    // The type chosen gave the content and the suffix.
    QCOMPARE(FileBytes(dir.filePath(QStringLiteral("kept.csv"))),
             QByteArray::fromStdString(quarvent::CsvHeader()));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("kept"))));
    QFileInfo confAfter(conf.filePath());
    QCOMPARE(confAfter.exists(), confBefore);
    if (confBefore) QCOMPARE(confAfter.lastModified(), confTime);
  }

  void SavedResultsMatchTheReport() {
    DialogOnServer setup;
    QVERIFY(setup.port > 0);
    QTRY_VERIFY(setup.server->Ready());
    CClientDlg& dlg = *setup.dlg;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Choose(dlg, CClientDlg::kIdcDuration30);  // 300 ms: three intervals or so
    PatternList(dlg)->setCurrentIndex(7);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dlg), kRunTimeoutMs);
    QVERIFY(dlg.GetSystemMenu()->actions()[3]->isEnabled());
    const QString report = Report(dlg);
    QVERIFY(report.contains(QStringLiteral("\nKernelTime / UserTime = ")));

    // The text: the report box's, byte for byte.
    const QString textPath = dir.filePath(QStringLiteral("results.txt"));
    QVERIFY(dlg.SaveResults(textPath, CClientDlg::SaveKind::kText));
    QCOMPARE(FileBytes(textPath), report.toUtf8());

    // The JSON: the console's schema, the intervals adding up to the run's end.
    const QString jsonPath = dir.filePath(QStringLiteral("results.json"));
    QVERIFY(dlg.SaveResults(jsonPath, CClientDlg::SaveKind::kJson));
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(FileBytes(jsonPath), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QJsonObject start = doc[QStringLiteral("start")].toObject();
    QCOMPARE(start[QStringLiteral("address")].toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(start[QStringLiteral("port")].toInt(), setup.port);
    QCOMPARE(start[QStringLiteral("protocol")].toString(), QStringLiteral("tcp"));
    QCOMPARE(start[QStringLiteral("duration")].toString(), QStringLiteral("30"));
    QVERIFY(start[QStringLiteral("timestamp")].toString().endsWith(u'Z'));
    const QJsonArray runs = doc[QStringLiteral("runs")].toArray();
    QCOMPARE(runs.size(), 1);
    const QJsonObject run = runs[0].toObject();
    QCOMPARE(run[QStringLiteral("pattern")].toInt(), 7);
    const QJsonObject end = run[QStringLiteral("end")].toObject();
    QCOMPARE(end[QStringLiteral("outcome")].toString(), QStringLiteral("completed"));
    qint64 received = 0, sent = 0;
    const QJsonArray intervals = run[QStringLiteral("intervals")].toArray();
    QVERIFY(!intervals.isEmpty());
    for (const QJsonValue& interval : intervals) {
      received += interval[QStringLiteral("bytes_received")].toInteger();
      sent += interval[QStringLiteral("bytes_sent")].toInteger();
    }
    QCOMPARE(received, end[QStringLiteral("bytes_received")].toInteger());
    QCOMPARE(sent, end[QStringLiteral("bytes_sent")].toInteger());
    QStringList reportLines;
    for (const QJsonValue& line : end[QStringLiteral("report")].toArray())
      reportLines << line.toString();
    QCOMPARE(reportLines, Lines(dlg));

    // The CSV: one row per interval, adding up to the report's sizes.
    const QString csvPath = dir.filePath(QStringLiteral("results.csv"));
    QVERIFY(dlg.SaveResults(csvPath, CClientDlg::SaveKind::kCsv));
    const QStringList rows = QString::fromUtf8(FileBytes(csvPath)).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(rows.value(0), QStringLiteral("run,pattern,protocol,start_s,end_s,bytes_received,"
                                           "bytes_sent,lost,throughput_total_bytes_per_s,"
                                           "rtt_p50_us,rtt_p99_us"));
    QCOMPARE(rows.size(), intervals.size() + 1);
    qint64 csvReceived = 0, csvSent = 0;
    bool roundTrips = false;
    for (int i = 1; i < rows.size(); ++i) {
      const QStringList cells = rows[i].split(u',');
      QCOMPARE(cells.size(), 11);
      QCOMPARE(cells[1], QStringLiteral("7"));
      QCOMPARE(cells[2], QStringLiteral("tcp"));
      csvReceived += cells[5].toLongLong();
      csvSent += cells[6].toLongLong();
      roundTrips = roundTrips || !cells[9].isEmpty();
    }
    QVERIFY(roundTrips);
    QVERIFY(Lines(dlg).contains(SizeLine("受信", csvReceived)));
    QVERIFY(Lines(dlg).contains(SizeLine("送信", csvSent)));
    QCOMPARE(csvReceived, received);

    // A write that fails says so and changes nothing.
    const QString bad = dir.filePath(QStringLiteral("missing/results.txt"));
    QString message;
    ModalWatcher watcher(
        [&message](QWidget* modal) {
          if (auto* box = qobject_cast<QMessageBox*>(modal)) message = box->text();
          modal->close();
        },
        &dlg, kRunTimeoutMs);
    QVERIFY(!dlg.SaveResults(bad, CClientDlg::SaveKind::kText));
    QCOMPARE(watcher.Count(), 1);
    QVERIFY2(message.startsWith(QStringLiteral("結果を保存できませんでした。")),
             qPrintable(message));
    QVERIFY(message.contains(bad));
    // Why, in Japanese, with the system's words after it.
    QVERIFY2(message.contains(QStringLiteral("保存先のフォルダがありません（")),
             qPrintable(message));
    QVERIFY(!QFile::exists(bad));
    QCOMPARE(Report(dlg), report);
    QVERIFY(Idle(dlg));

    // The chart as PNG, at the window's size.
    dlg.OnSysCommand(CClientDlg::kIdmChart, 0);
    const QString pngPath = dir.filePath(QStringLiteral("chart.png"));
    QVERIFY(dlg.ChartWindow()->SavePng(pngPath));
    const QImage image(pngPath);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), dlg.ChartWindow()->Chart()->size());
  }
};

QUARVENT_UI_TEST(ChartTest);

#include "chart_test.moc"
