// The about box: caption, texts of both programs, geometry in dialog units, OK.
#include "common/ui/about_dlg.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "common/ui/dialog_units.h"
#include "tests/ui/ui_test_support.h"

using quarvent::CAboutDlg;
using quarvent::DialogUnits;
using quarvent::Program;

class AboutDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void ClientTemplate() {
    CAboutDlg dlg(Program::Client);
    const DialogUnits du(dlg.font());
    QCOMPARE(dlg.windowTitle(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
    QCOMPARE(dlg.size(), du.Size(235, 55));
    auto* name = dlg.findChild<QLabel*>(QStringLiteral("aboutName"));
    QVERIFY(name != nullptr);
    QCOMPARE(name->text(), QStringLiteral("クァルヴェント（模擬端末） Version 1.0"));
    QCOMPARE(name->geometry(), du.Rect(40, 10, 136, 8));
    CheckCommonControls(dlg, du);
  }

  void ServerTemplate() {
    CAboutDlg dlg(Program::Server);
    const DialogUnits du(dlg.font());
    QCOMPARE(dlg.size(), du.Size(235, 55));
    auto* name = dlg.findChild<QLabel*>(QStringLiteral("aboutName"));
    QVERIFY(name != nullptr);
    // Half-width katakana here, unlike the server dialog's caption.
    QCOMPARE(name->text(), QStringLiteral("クァルヴェント（模擬ｻｰﾊﾞ） Version 1.0"));
    QCOMPARE(name->geometry(), du.Rect(32, 8, 140, 8));
    CheckCommonControls(dlg, du);
  }

  void LabelsShowAmpersandsAsTyped() {
    CAboutDlg dlg(Program::Client);
    for (auto* label : dlg.findChildren<QLabel*>()) {
      if (label->pixmap().isNull()) QCOMPARE(label->textFormat(), Qt::PlainText);
    }
  }

  void OkEndsTheBox() {
    CAboutDlg dlg(Program::Server);
    quarvent::test::ModalWatcher watcher([](QWidget* modal) {
      auto* ok = quarvent::GetDlgItem<QPushButton>(modal, CAboutDlg::kIdOk);
      if (ok != nullptr) {
        QTest::mouseClick(ok, Qt::LeftButton);
      } else {
        modal->close();  // rejects, which the comparison below reports
      }
    });
    QCOMPARE(dlg.exec(), int(QDialog::Accepted));
    QCOMPARE(watcher.Count(), 1);
  }

  void EscapeEndsTheBox() {
    CAboutDlg dlg(Program::Server);
    quarvent::test::ModalWatcher watcher(
        [](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); });
    QCOMPARE(dlg.exec(), int(QDialog::Rejected));
    QCOMPARE(watcher.Count(), 1);
  }

 private:
  static void CheckCommonControls(const CAboutDlg& dlg, const DialogUnits& du) {
    auto* icon = dlg.findChild<QLabel*>(QStringLiteral("aboutIcon"));
    QVERIFY(icon != nullptr);
    QCOMPARE(icon->geometry(), du.Rect(11, 17, 20, 20));
    QVERIFY(!icon->pixmap().isNull());
    auto* line = dlg.findChild<QLabel*>(QStringLiteral("aboutLine"));
    QVERIFY(line != nullptr);
    QCOMPARE(line->text(), CAboutDlg::LineText());
    QVERIFY(!line->text().isEmpty());
    QCOMPARE(line->geometry(), du.Rect(40, 25, 119, 8));
    auto* ok = quarvent::GetDlgItem<QPushButton>(&dlg, CAboutDlg::kIdOk);
    QVERIFY(ok != nullptr);
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QVERIFY(ok->isDefault());
    QCOMPARE(ok->geometry(), du.Rect(178, 7, 50, 14));
    QVERIFY(!dlg.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
  }
};

QUARVENT_UI_TEST(AboutDlgTest);

#include "about_dlg_test.moc"
