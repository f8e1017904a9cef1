// Dialog-unit conversion: rounding, both-edge rectangles, the base units of a
// font, and control ids.
#include "common/ui/dialog_units.h"

#include <QFontMetrics>
#include <QLabel>
#include <QTest>

#include "tests/ui/ui_test_support.h"

using quarvent::DialogUnits;

class DialogUnitsTest : public QObject {
  Q_OBJECT

 private slots:
  void MulDivRounds_data() {
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("c");
    QTest::addColumn<int>("expected");
    QTest::newRow("exact") << 8 << 6 << 4 << 12;
    QTest::newRow("half up") << 1 << 6 << 4 << 2;
    QTest::newRow("below half") << 1 << 5 << 4 << 1;
    QTest::newRow("above half") << 3 << 5 << 4 << 4;
    QTest::newRow("negative half away from zero") << -3 << 6 << 4 << -5;
    QTest::newRow("zero") << 0 << 7 << 8 << 0;
    QTest::newRow("64-bit product") << 2000000000 << 3 << 4 << 1500000000;
  }
  void MulDivRounds() {
    QFETCH(int, a);
    QFETCH(int, b);
    QFETCH(int, c);
    QFETCH(int, expected);
    QCOMPARE(quarvent::MulDiv(a, b, c), expected);
  }

  void RectConvertsBothEdges() {
    const DialogUnits du(6, 12);
    // 178 * 6 / 4 = 267; 7 * 12 / 8 = 10.5 -> 11; right 228 -> 342; bottom 21 -> 31.5 -> 32.
    QCOMPARE(du.Rect(178, 7, 50, 14), QRect(267, 11, 75, 21));
    QCOMPARE(du.Size(235, 55), QSize(353, 83));
    QCOMPARE(du.X(1), 2);
    QCOMPARE(du.Y(1), 2);
    // Neighbours stay flush: one control's right edge is the next one's left.
    const QRect a = du.Rect(3, 3, 5, 5);
    const QRect b = du.Rect(8, 3, 5, 5);
    QCOMPARE(a.left() + a.width(), b.left());
  }

  void BaseUnitsAreMeasuredOnTheFont() {
    const QFont font = quarvent::DialogFont();
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const DialogUnits du(font);
    // The average of 52 letters, rounded to the nearest pixel.
    QCOMPARE(du.BaseX(), qRound(width / 52.0));
    QCOMPARE(du.BaseY(), metrics.height());
    QCOMPARE(du.X(4), du.BaseX());
    QCOMPARE(du.Y(8), du.BaseY());
  }

  void DialogFontIsTheJapaneseGothic() {
    const QFont font = quarvent::DialogFont();
    QCOMPARE(font.pointSize(), 9);
    const QFontInfo info(font);
    if (info.family() != QStringLiteral("IPAPGothic")) QSKIP("IPAPGothic is not installed");
    // IPA P-Gothic at 9 pt on a 96 dpi screen: 12 pixels high, letters about 6 wide.
    const DialogUnits du(font);
    QVERIFY2(du.BaseX() >= 5 && du.BaseX() <= 8, qPrintable(QString::number(du.BaseX())));
    QVERIFY2(du.BaseY() >= 11 && du.BaseY() <= 16, qPrintable(QString::number(du.BaseY())));
  }

  void PlaceAndSizeClient() {
    QWidget dialog;
    const DialogUnits du(6, 12);
    du.SizeClient(&dialog, 210, 55);
    QCOMPARE(dialog.size(), QSize(315, 83));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    auto* label = new QLabel(&dialog);
    du.Place(label, 8, 6, 30, 8);
    QCOMPARE(label->geometry(), QRect(12, 9, 45, 12));
  }

  void ControlsAreFoundById() {
    QWidget dialog;
    auto* label = new QLabel(&dialog);
    quarvent::SetControlId(label, 1004);
    QCOMPARE(quarvent::ControlId(label), 1004);
    QCOMPARE(quarvent::GetDlgItem<QLabel>(&dialog, 1004), label);
    QCOMPARE(quarvent::FindControl(&dialog, 1005), nullptr);
    QCOMPARE(quarvent::ControlId(&dialog), -1);
  }
};

QUARVENT_UI_TEST(DialogUnitsTest);

#include "dialog_units_test.moc"
