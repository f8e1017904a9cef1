// The measurement dialog as it shows itself: first display, template,
// pattern list, mnemonics, port validation, clear, socket failure, about box.
#include "client/ui/client_dlg.h"

#include <QApplication>
#include <QGroupBox>
#include <QMenu>
#include <QMessageBox>
#include <QRadioButton>
#include <QTest>
#include <cerrno>
#include <memory>
#include <string_view>

#include "client/ui/chart_window.h"
#include "common/port_text.h"
#include "common/ui/about_dlg.h"
#include "tests/client/script_server.h"
#include "tests/ui/client_dlg_support.h"
#include "tests/ui/ui_test_support.h"

using quarvent::CClientDlg;
using quarvent::DialogUnits;
using quarvent::FindControl;
using namespace quarvent::test;

namespace {

QWidget* NextTabStop(QWidget* widget) {
  QWidget* next = widget->nextInFocusChain();
  while (!(next->focusPolicy() & Qt::TabFocus) || !next->isEnabled())
    next = next->nextInFocusChain();
  return next;
}

quarvent::Socket FailingSocket(int /*protocol*/, int /*family*/) {
  errno = EMFILE;
  return {};
}

}  // namespace

class ClientDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    m_dlg = std::make_unique<CClientDlg>(FastTiming());
    m_dlg->show();
  }
  void cleanup() { m_dlg.reset(); }

  void FirstDisplay() {
    const CClientDlg& dlg = *m_dlg;
    QCOMPARE(dlg.windowTitle(), QStringLiteral("クァルヴェント（模擬端末）"));
    QCOMPARE(PortField(dlg)->text(), QStringLiteral("49152"));
    const auto address = Item<quarvent::CIpAddressEdit>(dlg, CClientDlg::kIdcAddress)->Address();
    QCOMPARE(address, (quarvent::CIpAddressEdit::Bytes{127, 0, 0, 1}));
    QVERIFY(Item<QRadioButton>(dlg, CClientDlg::kIdcDurationAuto)->isChecked());
    QVERIFY(Item<QRadioButton>(dlg, CClientDlg::kIdcTcp)->isChecked());
    QCOMPARE(PatternList(dlg)->currentIndex(), 0);
    QCOMPARE(PatternList(dlg)->currentText(), QStringLiteral("ﾀﾞｳﾝﾛｰﾄﾞ想定1 (4096バイト連続)"));
    QCOMPARE(Report(dlg), QString());
    QCOMPARE(Elapsed(dlg), QString());
    QVERIFY(Idle(dlg));
    auto* progress = Item<QProgressBar>(dlg, CClientDlg::kIdcProgress);
    QCOMPARE(progress->minimum(), 0);
    QCOMPARE(progress->maximum(), 1000);
    QCOMPARE(progress->value(), 0);
    QVERIFY(Button(dlg, CClientDlg::kIdcStart)->isDefault());
    QCOMPARE(dlg.Controller().SweepStartPattern(), -1);
    QCOMPARE(dlg.m_nPort, 49152);
    // No OK and no Cancel: 測定開始, 測定中断 and ｸﾘｱ are all there is.
    QCOMPARE(dlg.findChildren<QPushButton*>().size(), 3);
  }

  void TemplateGeometryTextsAndTabOrder() {
    const CClientDlg& dlg = *m_dlg;
    const DialogUnits du(dlg.font());
    QCOMPARE(dlg.size(), du.Size(247, 263));
    const struct {
      const char* name;
      const char* text;
      QRect rect;
    } labels[] = {
        {"addressLabel", "ｻｰﾊﾞアドレス(&A):", du.Rect(8, 6, 52, 8)},
        {"portLabel", "接続ポート(&P):", du.Rect(8, 21, 48, 8)},
        {"portHint", "(模擬ｻｰﾊﾞに合わせて下さい)", du.Rect(98, 23, 88, 8)},
        {"durationLabel", "テスト時間(&T):", du.Rect(8, 39, 44, 8)},
        {"patternLabel", "受信ﾊﾟﾀｰﾝ(&P):", du.Rect(8, 56, 48, 8)},
        {"patternHint", "（ｱﾌﾟﾘ送信単位）", du.Rect(4, 68, 52, 8)},
        {"elapsedLabel", "経過時間 :", du.Rect(8, 110, 36, 8)},
        {"copyHint", "↓ CTRL+Cでｺﾋﾟｰ可能", du.Rect(166, 110, 68, 8)},
        {"unitsNote", "(1KB=1024 Bytes, 1MB=1024×1024 Bytes,)", du.Rect(10, 252, 136, 8)},
        {"protocolLabel", "ﾌﾟﾛﾄｺﾙ(&P):", du.Rect(6, 80, 48, 8)},
    };
    for (const auto& expected : labels) {
      auto* label = dlg.findChild<QLabel*>(QString::fromLatin1(expected.name));
      QVERIFY2(label != nullptr, expected.name);
      QCOMPARE(label->text(), QString::fromUtf8(expected.text));
      if (std::string_view(expected.name) == "unitsNote") {
        // Grows to the right when its text needs more room than laid out.
        QCOMPARE(label->geometry().topLeft(), expected.rect.topLeft());
        QCOMPARE(label->height(), expected.rect.height());
        QVERIFY(label->width() >= expected.rect.width());
        QVERIFY(label->width() >= label->sizeHint().width());
      } else {
        QCOMPARE(label->geometry(), expected.rect);
      }
    }
    auto* group = dlg.findChild<QGroupBox*>(QStringLiteral("resultGroup"));
    QCOMPARE(group->title(), QStringLiteral("測定結果:"));
    QCOMPARE(group->geometry(), du.Rect(4, 98, 240, 150));
    const struct {
      int id;
      const char* text;
      QRect rect;
    } buttons[] = {
        {CClientDlg::kIdcDurationAuto, "自動テスト", du.Rect(64, 38, 47, 10)},
        {CClientDlg::kIdcDuration15, "15秒", du.Rect(116, 38, 30, 10)},
        {CClientDlg::kIdcDuration30, "30秒", du.Rect(152, 38, 30, 10)},
        {CClientDlg::kIdcDurationContinuous, "連続", du.Rect(188, 38, 30, 10)},
        {CClientDlg::kIdcClear, "ｸﾘｱ", du.Rect(132, 106, 30, 14)},
        {CClientDlg::kIdcStart, "測定開始", du.Rect(192, 74, 50, 26)},
        {CClientDlg::kIdcAbort, "測定中断", du.Rect(192, 6, 50, 16)},
        {CClientDlg::kIdcTcp, "TCP", du.Rect(64, 78, 29, 10)},
        {CClientDlg::kIdcUdp, "UDP", du.Rect(98, 78, 29, 10)},
    };
    for (const auto& expected : buttons) {
      auto* button = Item<QAbstractButton>(dlg, expected.id);
      QCOMPARE(button->text(), QString::fromUtf8(expected.text));
      QCOMPARE(button->geometry(), expected.rect);
    }
    QCOMPARE(FindControl(&dlg, CClientDlg::kIdcAddress)->geometry(), du.Rect(64, 4, 92, 12));
    QCOMPARE(PortField(dlg)->geometry(), du.Rect(64, 21, 28, 12));
    QVERIFY(PortField(dlg)->alignment().testFlag(Qt::AlignRight));
    QCOMPARE(PatternList(dlg)->geometry(), du.Rect(62, 56, 144, 12));
    QCOMPARE(FindControl(&dlg, CClientDlg::kIdcElapsed)->geometry(), du.Rect(48, 108, 40, 12));
    QVERIFY(Item<QLabel>(dlg, CClientDlg::kIdcElapsed)->alignment().testFlag(Qt::AlignRight));
    QCOMPARE(FindControl(&dlg, CClientDlg::kIdcProgress)->geometry(), du.Rect(92, 110, 36, 8));
    QCOMPARE(ReportBox(dlg)->geometry(), du.Rect(8, 122, 230, 122));
    QVERIFY(ReportBox(dlg)->isReadOnly());
    QVERIFY(ReportBox(dlg)->textInteractionFlags().testFlag(Qt::TextSelectableByKeyboard));

    // Tab stops in template order, from the address field on.
    QWidget* stop = Item<quarvent::CIpAddressEdit>(dlg, CClientDlg::kIdcAddress)->Field(0);
    QCOMPARE(stop = NextTabStop(stop), FindControl(&dlg, CClientDlg::kIdcPort));
    QCOMPARE(stop = NextTabStop(stop), FindControl(&dlg, CClientDlg::kIdcDurationAuto));
    while (quarvent::ControlId(stop) != CClientDlg::kIdcPattern) {
      const int id = quarvent::ControlId(stop);
      QVERIFY(id == CClientDlg::kIdcDurationAuto || id == CClientDlg::kIdcDuration15 ||
              id == CClientDlg::kIdcDuration30 || id == CClientDlg::kIdcDurationContinuous);
      stop = NextTabStop(stop);
    }
    QCOMPARE(stop = NextTabStop(stop), FindControl(&dlg, CClientDlg::kIdcClear));
    QCOMPARE(stop = NextTabStop(stop), FindControl(&dlg, CClientDlg::kIdcResult));
    QCOMPARE(stop = NextTabStop(stop), FindControl(&dlg, CClientDlg::kIdcStart));
    // 測定中断 is disabled while idle; the protocol radios follow.
    QCOMPARE(stop = NextTabStop(stop), FindControl(&dlg, CClientDlg::kIdcTcp));
  }

  void PatternListHoldsTheElevenEntries() {
    const char* const expected[] = {
        "ﾀﾞｳﾝﾛｰﾄﾞ想定1 (4096バイト連続)",           "ﾀﾞｳﾝﾛｰﾄﾞ想定2 (2048バイト連続)",
        "ﾀﾞｳﾝﾛｰﾄﾞ想定3 (1024バイト連続)",           "ﾌﾞﾗｳｼﾞﾝｸﾞ想定1 (2048バイト近傍の乱数）",
        "ﾌﾞﾗｳｼﾞﾝｸﾞ想定2 (1024バイト近傍の乱数）",   "チャット想定　　　(4～64バイトの乱数)",
        "ﾗﾝﾀﾞﾑ　　　　　  (64～4096バイトの乱数）", "限界調査1      ( 8KB 連続送受信)",
        "限界調査2      (16KB 連続送受信)",         "限界調査3      (32KB 連続送受信)",
        "限界調査4      (64KB 連続送受信)",
    };
    QComboBox* list = PatternList(*m_dlg);
    QCOMPARE(list->count(), 11);
    for (int i = 0; i < 11; ++i) QCOMPARE(list->itemText(i), QString::fromUtf8(expected[i]));
    QVERIFY(!list->isEditable());
    QCOMPARE(list->maxVisibleItems(), 11);
  }

  void MnemonicsMoveTheFocusToTheirBuddies() {
    CClientDlg& dlg = *m_dlg;
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    Choose(dlg, CClientDlg::kIdcDuration30);
    Choose(dlg, CClientDlg::kIdcUdp);
    PortField(dlg)->setFocus();

    QTest::keyClick(&dlg, Qt::Key_A, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(),
             Item<quarvent::CIpAddressEdit>(dlg, CClientDlg::kIdcAddress)->Field(0));
    // The duration's mnemonic goes to the checked radio and leaves it checked.
    QTest::keyClick(&dlg, Qt::Key_T, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), FindControl(&dlg, CClientDlg::kIdcDuration30));
    QTRY_VERIFY(Item<QRadioButton>(dlg, CClientDlg::kIdcDuration30)->isChecked());
    // Three labels share (&P): each press moves on to the next of them.
    QSet<QWidget*> visited;
    for (int i = 0; i < 3; ++i) {
      QTest::keyClick(&dlg, Qt::Key_P, Qt::AltModifier);
      visited.insert(QApplication::focusWidget());
    }
    const QSet<QWidget*> buddies{FindControl(&dlg, CClientDlg::kIdcPort),
                                 FindControl(&dlg, CClientDlg::kIdcPattern),
                                 FindControl(&dlg, CClientDlg::kIdcUdp)};
    QCOMPARE(visited, buddies);
    QVERIFY(Item<QRadioButton>(dlg, CClientDlg::kIdcUdp)->isChecked());
  }

  void NonIntegerPortIsReportedAndNothingStarts() {
    CClientDlg& dlg = *m_dlg;
    QCoreApplication::setApplicationName(QStringLiteral("client"));
    PortField(dlg)->setText(QStringLiteral("12ab"));
    QString text, caption;
    ModalWatcher watcher(
        [&](QWidget* modal) {
          if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            text = box->text();
            caption = box->windowTitle();
          }
          modal->close();
        },
        nullptr, 1000);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QCoreApplication::setApplicationName(QStringLiteral("server"));
    QCOMPARE(watcher.Count(), 1);
    QCOMPARE(text, QStringLiteral("整数を入力してください。"));
    QCOMPARE(caption, QStringLiteral("クァルヴェント（模擬端末）"));  // the window's title
    QCOMPARE(Report(dlg), QString());
    QVERIFY(Idle(dlg));
    QCOMPARE(dlg.focusWidget(), PortField(dlg));
  }

  // The port rule is one: the field of this dialog reads by the shared rule,
  // and Qt's reading of an integer field (the server dialog's) agrees with it
  // on every case, the boundaries and the white space of both kinds included.
  void PortFieldsShareOneRule() {
    CClientDlg& dlg = *m_dlg;
    const char* const cases[] = {"49152",
                                 "-1",
                                 "+12",
                                 "70000",
                                 "2147483647",
                                 "2147483648",
                                 "-2147483648",
                                 "-2147483649",
                                 "4294967297",
                                 "00012",
                                 " 12 ",
                                 "\t12\n",
                                 "\u3000"
                                 "12",
                                 "\u00A0"
                                 "12",
                                 "12"
                                 "\u2029",
                                 "\u0085"
                                 "5",
                                 "",
                                 " ",
                                 "+",
                                 "-",
                                 "+-1",
                                 "- 1",
                                 "1 2",
                                 "12ab",
                                 "0x10",
                                 "1e3",
                                 "1,000",
                                 "１２",
                                 "\u200B"
                                 "12"};
    for (const char* text : cases) {
      const QString field = QString::fromUtf8(text);
      bool qtOk = false;
      const int qtValue = field.trimmed().toInt(&qtOk, 10);
      int shared = 0;
      const bool sharedOk = quarvent::ParsePortText(text, &shared);
      QVERIFY2(qtOk == sharedOk && (!qtOk || qtValue == shared), text);
      dlg.m_nPort = 1234;
      PortField(dlg)->setText(field);
      dlg.ReadSettings();
      QCOMPARE(dlg.m_nPort, sharedOk ? shared : 1234);
    }
  }

  void ClearEmptiesReportAndElapsedOnly() {
    CClientDlg& dlg = *m_dlg;
    quarvent::Socket holder;
    const int port = quarvent::testing::RefusingPort(&holder);
    PortField(dlg)->setText(QString::number(port));
    Choose(dlg, CClientDlg::kIdcDuration15);
    PatternList(dlg)->setCurrentIndex(4);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QVERIFY(!Report(dlg).isEmpty());
    QTRY_VERIFY(Idle(dlg));  // once the run's connect is refused
    QVERIFY(Button(dlg, CClientDlg::kIdcClear)->isEnabled());
    dlg.SetElapsedText("12 秒");
    Button(dlg, CClientDlg::kIdcClear)->click();
    QCOMPARE(Report(dlg), QString());
    QCOMPARE(Elapsed(dlg), QString());
    QCOMPARE(PortField(dlg)->text(), QString::number(port));
    QCOMPARE(PatternList(dlg)->currentIndex(), 4);
    QVERIFY(Item<QRadioButton>(dlg, CClientDlg::kIdcDuration15)->isChecked());
    QVERIFY(Idle(dlg));
  }

  // ｸﾘｱ after a run, with the target changed but not yet measured: the edits
  // stay, and the next start measures what the controls show.
  void ClearKeepsEditsNoStartHasReadYet() {
    CClientDlg& dlg = *m_dlg;
    quarvent::Socket firstHolder, secondHolder;
    const int first = quarvent::testing::RefusingPort(&firstHolder);
    const int second = quarvent::testing::RefusingPort(&secondHolder);
    QVERIFY(first != second);
    PortField(dlg)->setText(QString::number(first));
    Choose(dlg, CClientDlg::kIdcDuration15);
    PatternList(dlg)->setCurrentIndex(4);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY(Idle(dlg));
    QCOMPARE(dlg.m_nPort, first);

    PortField(dlg)->setText(QString::number(second));
    PatternList(dlg)->setCurrentIndex(6);
    Choose(dlg, CClientDlg::kIdcDuration30);
    Button(dlg, CClientDlg::kIdcClear)->click();
    QCOMPARE(Report(dlg), QString());
    QCOMPARE(PortField(dlg)->text(), QString::number(second));
    QCOMPARE(PatternList(dlg)->currentIndex(), 6);
    QVERIFY(Item<QRadioButton>(dlg, CClientDlg::kIdcDuration30)->isChecked());
    // Text that is no port yet stays as typed too.
    PortField(dlg)->setText(QStringLiteral("49"));
    Button(dlg, CClientDlg::kIdcClear)->click();
    QCOMPARE(PortField(dlg)->text(), QStringLiteral("49"));
    PortField(dlg)->setText(QString::number(second));

    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY(Idle(dlg));
    QCOMPARE(dlg.m_nPort, second);
    QCOMPARE(dlg.m_nPattern, 6);
    QCOMPARE(dlg.m_nDuration, 2);
    QVERIFY2(Lines(dlg).value(0).contains(PatternList(dlg)->itemText(6)), qPrintable(Report(dlg)));
  }

  // The results box's own menu: Qt's copy entries in Japanese, then the
  // dialog's グラフ and 結果を保存..., which act as from the window menu.
  void ResultsBoxMenuHoldsCopyAndTheDialogsEntries() {
    CClientDlg& dlg = *m_dlg;
    std::unique_ptr<QMenu> menu(dlg.ResultsContextMenu(QPoint(2, 2)));
    const QList<QAction*> actions = menu->actions();
    QVERIFY(actions.size() >= 4);
    QStringList texts;  // without the keys that follow a tab
    for (QAction* action : actions) texts << action->text().section(u'\t', 0, 0);
    const QString copy = QCoreApplication::translate("QWidgetTextControl", "&Copy");
    const QString all = QCoreApplication::translate("QWidgetTextControl", "Select All");
    QVERIFY2(copy != QStringLiteral("&Copy") && texts.contains(copy), qPrintable(texts.join(u'|')));
    QVERIFY2(texts.contains(all), qPrintable(texts.join(u'|')));
    QVERIFY(actions[actions.size() - 3]->isSeparator());
    QCOMPARE(actions[actions.size() - 2]->text(), QStringLiteral("グラフ"));
    QCOMPARE(actions[actions.size() - 1]->text(), QStringLiteral("結果を保存..."));
    QVERIFY(!actions.back()->isEnabled());  // nothing measured yet, as in the window menu
    QCOMPARE(dlg.ChartWindow(), nullptr);
    actions[actions.size() - 2]->trigger();
    QVERIFY(dlg.ChartWindow() != nullptr && dlg.ChartWindow()->isVisible());
  }

  void SocketFailureReplacesTheWholeReport() {
    CClientDlg& dlg = *m_dlg;
    quarvent::Socket holder;
    PortField(dlg)->setText(QString::number(quarvent::testing::RefusingPort(&holder)));
    Button(dlg, CClientDlg::kIdcStart)->click();
    QTRY_VERIFY(Report(dlg).contains(QStringLiteral("Connection Refused.")));
    QTRY_VERIFY(Idle(dlg));
    dlg.Controller().SetSocketFactory(&FailingSocket);
    Button(dlg, CClientDlg::kIdcStart)->click();
    QCOMPARE(Report(dlg), QStringLiteral("socket() Failed.  ErrCode=24.\n"));
    QCOMPARE(dlg.Controller().ReportText(), std::string("socket() Failed.  ErrCode=24.\r\n"));
    QVERIFY(Idle(dlg));
  }

  void NoWorkerThreadIsReportedOnce() {
    CClientDlg& dlg = *m_dlg;
    quarvent::Socket holder;
    PortField(dlg)->setText(QString::number(quarvent::testing::RefusingPort(&holder)));
    Choose(dlg, CClientDlg::kIdcUdp);  // connects without a server
    dlg.Controller().SetThreadFactory([](std::thread*, std::function<void()>) { return false; });
    Button(dlg, CClientDlg::kIdcStart)->click();
    QCOMPARE(Lines(dlg).size(), 2);
    QCOMPARE(Lines(dlg).last(), QStringLiteral("スレッド作成失敗."));
    QVERIFY(Idle(dlg));
  }

  void AboutEntryOpensTheClientAboutBox() {
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
    QCOMPARE(name, QStringLiteral("クァルヴェント（模擬端末） Version 1.0"));
  }

 private:
  std::unique_ptr<CClientDlg> m_dlg;
};

QUARVENT_UI_TEST(ClientDlgTest);

#include "client_dlg_test.moc"
