// What the chart shows at its default size: every band of a sweep labelled
// within its width, small rates readable on the automatic logarithmic axis,
// the user's choice of axis from the context menu, time ticks on the bands'
// boundaries, the legend saying whose values it shows, a failed start named
// instead of "no data yet"; and where the chart window opens beside the dialog.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QTest>
#include <memory>

#include "client/ui/chart_history.h"
#include "client/ui/chart_widget.h"
#include "client/ui/chart_window.h"
#include "client/ui/client_dlg.h"
#include "tests/ui/client_dlg_support.h"
#include "tests/ui/ui_test_support.h"

using quarvent::ChartHistory;
using quarvent::ChartLayout;
using quarvent::ChartScale;
using quarvent::IntervalData;
using quarvent::PlaceChartWindow;

namespace {

constexpr double kMB = 1048576.0;

// A sweep from pattern 0 as a loopback run gives it: MB/s per pattern, ten
// 1-s intervals each, data phases a little over 10 s.
constexpr double kSweepMBs[] = {1800, 1500, 900, 0.94, 0.45, 0.09, 60, 2000, 2000, 1900, 1900};

ChartHistory Sweep() {
  ChartHistory history;
  for (int pattern = 0; pattern < 11; ++pattern) {
    for (int s = 0; s < 10; ++s) {
      IntervalData i;
      i.run = pattern;
      i.pattern = pattern;
      i.startMs = s * 1000;
      i.endMs = s == 9 ? 10020 : (s + 1) * 1000;
      const double seconds = (i.endMs - i.startMs) / 1000.0;
      i.bytesReceived = static_cast<int64_t>(kSweepMBs[pattern] * kMB * seconds);
      i.bytesSent = pattern >= 3 ? i.bytesReceived / 100 : 0;
      history.AddInterval(i);
    }
    quarvent::RunEndData end;
    end.run = pattern;
    end.pattern = pattern;
    end.elapsedMs = 10020;
    history.AddRunEnd(end);
  }
  return history;
}

ChartLayout Draw(const ChartHistory& history, ChartScale scale, QSize size = {640, 420}) {
  QImage image(size, QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setFont(QApplication::font());
  ChartLayout layout;
  quarvent::DrawChart(painter, image.rect(), history, scale, &layout);
  return layout;
}

}  // namespace

class ChartLayoutTest : public QObject {
  Q_OBJECT

 private slots:
  void SweepBandsShowPatternAndMeanAtDefaultSize() {
    const ChartHistory history = Sweep();
    QVERIFY(quarvent::LogScaleFor(history, ChartScale::kAuto));
    const ChartLayout layout = Draw(history, ChartScale::kAuto);
    QVERIFY(layout.rate.log);
    QVERIFY(layout.rateTitle.contains(QStringLiteral("MB/s")));
    QCOMPARE(layout.bands.size(), size_t{11});
    for (const ChartLayout::Band& band : layout.bands) {
      const int pattern = band.run;
      const QString context = QStringLiteral("pattern %1: '%2' '%3' in %4 px")
                                  .arg(pattern)
                                  .arg(band.pattern, band.mean)
                                  .arg(band.rect.width());
      // The number at least, and whole: nothing cut to "…".
      QVERIFY2(band.pattern.contains(QString::number(pattern)), qPrintable(context));
      QVERIFY2(!band.pattern.contains(u'…') && !band.mean.contains(u'…'), qPrintable(context));
      QVERIFY2(band.patternWidth <= band.rect.width(), qPrintable(context));
      QVERIFY2(band.meanWidth <= band.rect.width(), qPrintable(context));
      // The mean in the axis's unit, to three digits.
      bool ok = false;
      const double mean = band.mean.section(u' ', 0, 0).toDouble(&ok);
      QVERIFY2(ok, qPrintable(context));
      QVERIFY2(std::abs(mean - kSweepMBs[pattern]) <= kSweepMBs[pattern] * 0.01,
               qPrintable(context));
      // Small rates stand clear of the axis and of each other: a tenth of
      // the plot's height above its bottom, a twentieth apart.
      const QRect area = layout.rate.area;
      QVERIFY2(layout.rate.Y(kSweepMBs[pattern]) < area.bottom() - area.height() / 10.0,
               qPrintable(context));
      if (pattern == 4 || pattern == 5)
        QVERIFY2(layout.rate.Y(kSweepMBs[pattern]) - layout.rate.Y(kSweepMBs[pattern - 1]) >
                     area.height() / 20.0,
                 qPrintable(context));
      QVERIFY2(layout.rate.Y(kSweepMBs[pattern]) > area.top(), qPrintable(context));
    }
    // Ticks on the bands' boundaries, in whole seconds: 0, 10, ... 110.
    QStringList labels;
    for (const quarvent::chart::TimeTick& tick : layout.ticks) {
      labels << tick.label;
      bool onBoundary = false;
      for (const quarvent::ChartRun& run : history.Runs())
        onBoundary = onBoundary || tick.t == run.offsetS || tick.t == run.offsetS + run.lengthS;
      QVERIFY2(onBoundary, qPrintable(tick.label));
    }
    QCOMPARE(labels, QStringList({"0", "10", "20", "30", "40", "50", "60", "70", "80", "90", "100",
                                  "110"}));
    QVERIFY(layout.timeTitle.contains(QStringLiteral("休止")));
    QCOMPARE(layout.legendCaption, QStringLiteral("直近の区間:"));
    QVERIFY(layout.emptyText.isEmpty());
  }

  // The axis is the user's to choose from the window's context menu; a
  // single run is linear when left to the chart.
  void ContextMenuSwitchesTheThroughputAxis() {
    quarvent::CClientDlg dlg(quarvent::test::FastTiming());
    dlg.show();
    dlg.OnShowChart();
    quarvent::CChartWindow& window = *dlg.ChartWindow();
    quarvent::CChartWidget& chart = *window.Chart();
    QCOMPARE(chart.Scale(), ChartScale::kAuto);
    std::unique_ptr<QMenu> menu(window.CreateContextMenu());
    QList<QAction*> choices;
    for (QAction* action : menu->actions())
      if (action->isCheckable()) choices << action;
    QCOMPARE(choices.size(), 3);
    QVERIFY(choices[0]->isChecked());
    QVERIFY(choices[2]->text().contains(QStringLiteral("対数目盛")));
    choices[1]->trigger();
    QCOMPARE(chart.Scale(), ChartScale::kLinear);
    choices[2]->trigger();
    QCOMPARE(chart.Scale(), ChartScale::kLog);
    const QString logText = choices[2]->text();
    menu.reset(window.CreateContextMenu());  // shows the choice made
    QStringList checked;
    for (QAction* action : menu->actions())
      if (action->isChecked()) checked << action->text();
    QCOMPARE(checked, QStringList{logText});

    const ChartHistory sweep = Sweep();
    QVERIFY(!Draw(sweep, ChartScale::kLinear).rate.log);
    QVERIFY(Draw(sweep, ChartScale::kLog).rate.log);
    ChartHistory one;
    for (int s = 0; s < 15; ++s) {
      IntervalData i;
      i.pattern = 7;
      i.startMs = s * 1000;
      i.endMs = (s + 1) * 1000;
      i.bytesReceived = static_cast<int64_t>((1000 + 100 * (s % 3)) * kMB);
      one.AddInterval(i);
    }
    QVERIFY(!quarvent::LogScaleFor(one, ChartScale::kAuto));
    const ChartLayout single = Draw(one, ChartScale::kAuto);
    QVERIFY(!single.rate.log);
    QCOMPARE(single.bands.size(), size_t{1});
    QVERIFY(single.bands[0].pattern.contains(QStringLiteral("限界調査1")));
    QVERIFY(single.bands[0].mean.endsWith(QStringLiteral("MB/s")));
    QVERIFY(!single.timeTitle.contains(QStringLiteral("休止")));
  }

  void EmptyChartSaysWhyAfterAFailedStart() {
    ChartHistory history;
    QCOMPARE(Draw(history, ChartScale::kAuto).emptyText,
             QStringLiteral("測定データはまだありません"));
    quarvent::RunEndData end;
    end.outcome = quarvent::RunEndKind::kConnectFailed;
    end.failure = "Connection Refused. 疑似ｻｰﾊﾞは「待受状態」ですか？\nｱﾄﾞﾚｽ間違ってませんか？";
    history.AddRunEnd(end);
    const QString text = Draw(history, ChartScale::kAuto).emptyText;
    QVERIFY2(text.startsWith(QStringLiteral("測定データはありません\nConnection Refused.")),
             qPrintable(text));
    QVERIFY(!text.contains(QStringLiteral("まだ")));
  }

  void ChartWindowOpensWhereTheDialogStaysVisible_data() {
    QTest::addColumn<QRect>("room");
    QTest::addColumn<QRect>("dialog");
    QTest::addColumn<QString>("where");
    const QRect wide(0, 0, 1920, 1080);
    QTest::newRow("right") << wide << QRect(100, 100, 380, 460) << "right";
    QTest::newRow("left") << wide << QRect(1500, 100, 380, 460) << "left";
    QTest::newRow("below") << QRect(0, 0, 1000, 1200) << QRect(300, 20, 380, 460) << "below";
    QTest::newRow("above") << QRect(0, 0, 1000, 1200) << QRect(300, 700, 380, 460) << "above";
    QTest::newRow("smaller beside")
        << QRect(0, 0, 1024, 768) << QRect(200, 100, 380, 460) << "beside";
    QTest::newRow("over the results")
        << QRect(0, 0, 640, 480) << QRect(100, 10, 380, 460) << "over";
  }
  void ChartWindowOpensWhereTheDialogStaysVisible() {
    QFETCH(QRect, room);
    QFETCH(QRect, dialog);
    QFETCH(QString, where);
    const QSize chart(660, 450), minimum(320, 220);
    const int keep = 160;  // the settings and the start button
    const QRect at = PlaceChartWindow(dialog, chart, minimum, room, keep);
    QVERIFY2(room.contains(at), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                               .arg(at.x())
                                               .arg(at.y())
                                               .arg(at.width())
                                               .arg(at.height())));
    QVERIFY(at.width() >= minimum.width() && at.height() >= minimum.height());
    if (where == QLatin1String("over")) {
      QVERIFY(at.top() >= dialog.top() + keep);  // the settings stay free
      return;
    }
    QVERIFY(!at.intersects(dialog));
    if (where == QLatin1String("right")) QCOMPARE(at.left(), dialog.right() + 9);
    if (where == QLatin1String("left")) QCOMPARE(at.right(), dialog.left() - 9);
    if (where == QLatin1String("below")) QCOMPARE(at.top(), dialog.bottom() + 9);
    if (where == QLatin1String("above")) QCOMPARE(at.bottom(), dialog.top() - 9);
    if (where == QLatin1String("right") || where == QLatin1String("left") ||
        where == QLatin1String("below") || where == QLatin1String("above"))
      QCOMPARE(at.size(), chart);
    else
      QVERIFY(at.width() < chart.width());  // made smaller to fit beside it
  }

  // The dialog on the screen that the tests have: the chart does not cover it.
  void OpenedChartLeavesTheDialogUncovered() {
    quarvent::CClientDlg dlg(quarvent::test::FastTiming());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QRect room = dlg.screen()->availableGeometry();
    dlg.move(room.topLeft());
    dlg.OnShowChart();
    const QRect chart = dlg.ChartWindow()->frameGeometry();
    QVERIFY(!chart.intersects(dlg.frameGeometry()) ||
            chart.top() >= dlg.frameGeometry().top() + dlg.findChild<QWidget*>("resultGroup")->y());
    QVERIFY(room.contains(chart));
  }
};

QUARVENT_UI_TEST(ChartLayoutTest);

#include "chart_layout_test.moc"
