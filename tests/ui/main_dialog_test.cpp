// The shared part of the main dialogs: the window menu with the about entry,
// the routing of its command ids, and the window icons.
#include "common/ui/main_dialog.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QTest>

#include "common/ui/about_dlg.h"
#include "tests/ui/ui_test_support.h"

using quarvent::CMainDialog;
using quarvent::test::ModalWatcher;

namespace {

class TestDialog : public CMainDialog {
 public:
  explicit TestDialog(QString aboutText = quarvent::LoadString(quarvent::kIdsAboutBox))
      : CMainDialog(quarvent::Program::Client, nullptr), m_strAbout(std::move(aboutText)) {}

 protected:
  bool OnInitDialog() override {
    RunPrologue(m_strAbout);
    return true;
  }

 private:
  QString m_strAbout;
};

// Closes the next modal window and records whether it was the about box and
// what its name line said.
struct AboutProbe {
  bool bAbout = false;
  QString strName;
  ModalWatcher watcher{[this](QWidget* modal) {
                         bAbout = qobject_cast<quarvent::CAboutDlg*>(modal) != nullptr;
                         if (auto* name = modal->findChild<QLabel*>(QStringLiteral("aboutName")))
                           strName = name->text();
                         modal->close();
                       },
                       nullptr, 300};
};

}  // namespace

class MainDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void MenuEndsWithOneSeparatorAndTheAboutEntry() {
    TestDialog dlg;
    dlg.show();
    const QList<QAction*> actions = dlg.GetSystemMenu()->actions();
    QVERIFY(actions.size() >= 2);
    int separators = 0;
    for (const QAction* action : actions) separators += action->isSeparator() ? 1 : 0;
    QCOMPARE(separators, 1);
    QVERIFY(actions[actions.size() - 2]->isSeparator());
    const QAction* about = actions.last();
    QCOMPARE(about->text(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(&A)..."));
    QCOMPARE(about->data().toUInt(), 16u);
  }

  void PrologueRunsOnce() {
    TestDialog dlg;
    dlg.show();
    dlg.hide();
    dlg.show();
    QCOMPARE(dlg.GetSystemMenu()->actions().last()->data().toUInt(), quarvent::kIdmAboutBox);
    int entries = 0;
    for (const QAction* action : dlg.GetSystemMenu()->actions())
      entries += action->data().toUInt() == quarvent::kIdmAboutBox ? 1 : 0;
    QCOMPARE(entries, 1);
  }

  void EmptyAboutTextAddsNothing() {
    TestDialog dlg{QString()};
    dlg.show();
    for (const QAction* action : dlg.GetSystemMenu()->actions()) {
      QVERIFY(!action->isSeparator());
      QVERIFY(action->data().toUInt() != quarvent::kIdmAboutBox);
    }
  }

  void AboutEntryOpensTheAboutBox() {
    TestDialog dlg;
    dlg.show();
    AboutProbe probe;
    dlg.GetSystemMenu()->actions().last()->trigger();
    QCOMPARE(probe.watcher.Count(), 1);
    QVERIFY(probe.bAbout);
    QCOMPARE(probe.strName, QStringLiteral("クァルヴェント（模擬端末） Version 1.0"));
    QVERIFY(dlg.isVisible());
  }

  void LowFourBitsAreIgnored_data() {
    QTest::addColumn<unsigned>("id");
    QTest::addColumn<bool>("opens");
    QTest::newRow("16") << 16u << true;
    QTest::newRow("17") << 17u << true;
    QTest::newRow("31") << 31u << true;
    QTest::newRow("15") << 15u << false;
    QTest::newRow("32") << 32u << false;
    QTest::newRow("0x10010: only the low four bits are cleared") << 0x10010u << true;
  }
  void LowFourBitsAreIgnored() {
    QFETCH(unsigned, id);
    QFETCH(bool, opens);
    TestDialog dlg;
    dlg.show();
    AboutProbe probe;
    dlg.OnSysCommand(id, 0);
    QCOMPARE(probe.watcher.Count(), opens ? 1 : 0);
    QCOMPARE(probe.bAbout, opens);
    QVERIFY(dlg.isVisible());
  }

  void WindowCommandsKeepTheirEffect() {
    TestDialog dlg;
    dlg.show();
    dlg.OnSysCommand(CMainDialog::kScMinimize, 0);
    QVERIFY(dlg.windowState().testFlag(Qt::WindowMinimized));
    dlg.showNormal();
    dlg.OnSysCommand(CMainDialog::kScClose, 0);
    QVERIFY(!dlg.isVisible());
  }

  void RightClickShowsTheMenu() {
    TestDialog dlg;
    dlg.resize(200, 100);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10),
                            dlg.mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(&dlg, &event);
    QTRY_VERIFY(dlg.GetSystemMenu()->isVisible());
    dlg.GetSystemMenu()->hide();
  }

  void WindowIconHasBothSizes() {
    TestDialog dlg;
    dlg.show();
    const QList<QSize> sizes = dlg.windowIcon().availableSizes();
    QVERIFY(sizes.contains(QSize(32, 32)));
    QVERIFY(sizes.contains(QSize(16, 16)));
    const QIcon icon = quarvent::LoadIcon(quarvent::kIdrMainFrame);
    QCOMPARE(icon.availableSizes().size(), 2);
    QVERIFY(quarvent::LoadIcon(0).isNull());
  }
};

QUARVENT_UI_TEST(MainDialogTest);

#include "main_dialog_test.moc"
