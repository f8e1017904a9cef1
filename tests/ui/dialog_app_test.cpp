// The application shell: socket start-up failure and the modal run of the
// main dialog.
#include "common/ui/dialog_app.h"

#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <utility>

#include "tests/ui/ui_test_support.h"

using quarvent::CDialogApp;
using quarvent::test::ModalWatcher;

class DialogAppTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() {
    // Later tests expect the test program's name back.
    QCoreApplication::setApplicationName(QStringLiteral("server"));
  }

  void SocketFailureShowsTheMessageAndNoWindow() {
    int created = 0;
    quarvent::CClientApp app([&created] {
      ++created;
      return std::make_unique<QDialog>();
    });
    app.SetSocketInit([] { return false; });
    QString text;
    QString title;
    ModalWatcher watcher([&](QWidget* modal) {
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        text = box->text();
        title = box->windowTitle();
      }
      modal->close();
    });
    QVERIFY(!app.InitInstance());
    QCOMPARE(watcher.Count(), 1);
    QCOMPARE(text, QStringLiteral("Windows ｿｹｯﾄの初期化に失敗しました。"));
    // Titled as the program's window: the user sees which program speaks.
    QCOMPARE(title, QStringLiteral("クァルヴェント（模擬端末）"));
    QCOMPARE(created, 0);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
  }

  void MainDialogRunsModallyAndIsDestroyed() {
    QPointer<QDialog> seen;
    bool parentless = false;
    quarvent::CServerApp app([&] {
      auto dlg = std::make_unique<QDialog>();
      seen = dlg.get();
      parentless = dlg->parentWidget() == nullptr;
      return dlg;
    });
    bool wasModal = false;
    ModalWatcher watcher([&](QWidget* modal) {
      wasModal = modal == seen.data();
      modal->close();
    });
    QVERIFY(!app.InitInstance());
    QCOMPARE(watcher.Count(), 1);
    QVERIFY(wasModal);
    QVERIFY(parentless);
    QVERIFY(seen.isNull());
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("server"));
    QCOMPARE(QApplication::font().pointSize(), 9);
  }

  void QtsOwnTextsAreJapanese() {
    // The test program loaded them as the programs do; a second load is a no-op.
    QVERIFY(CDialogApp::LoadQtTranslations());
    // Texts of the results box's menu, the file dialog and message boxes.
    const std::pair<const char*, const char*> texts[] = {
        {"QWidgetTextControl", "&Copy"},   {"QWidgetTextControl", "Select All"},
        {"QFileDialog", "File &name:"},    {"QFileDialog", "Look in:"},
        {"QFileDialog", "Files of type:"}, {"QPlatformTheme", "Cancel"},
        {"QPlatformTheme", "Save"},
    };
    for (const auto& [context, text] : texts) {
      const QString shown = QCoreApplication::translate(context, text);
      QVERIFY2(shown != QLatin1String(text), text);
      QVERIFY2(
          std::any_of(shown.begin(), shown.end(), [](QChar c) { return c.unicode() >= 0x3000; }),
          qPrintable(shown));
    }
  }

  void RealSocketInitIgnoresSigpipe() {
    QVERIFY(CDialogApp::InitSockets());
    struct sigaction current {};
    QCOMPARE(sigaction(SIGPIPE, nullptr, &current), 0);
    QVERIFY(current.sa_handler == SIG_IGN);
  }
};

QUARVENT_UI_TEST(DialogAppTest);

#include "dialog_app_test.moc"
