// The IPv4 address field as a user types into it.
#include "common/ui/ip_address_edit.h"

#include <QLineEdit>
#include <QTest>

#include "tests/ui/ui_test_support.h"

using quarvent::CIpAddressEdit;
using Bytes = CIpAddressEdit::Bytes;

namespace {

// Types text where the keyboard focus is, key by key, as a user would.
void Type(const QString& text) {
  for (const QChar c : text) {
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus != nullptr);
    QTest::keyClick(focus, c.toLatin1());
  }
}

void Press(Qt::Key key) {
  QWidget* focus = QApplication::focusWidget();
  QVERIFY(focus != nullptr);
  QTest::keyClick(focus, key);
}

}  // namespace

class IpAddressEditTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    m_window = std::make_unique<QWidget>();
    m_window->resize(200, 40);
    m_edit = new CIpAddressEdit(m_window.get());
    m_edit->setGeometry(10, 10, 140, 20);
    m_window->show();
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    m_edit->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), m_edit->Field(0));
  }
  void cleanup() { m_window.reset(); }

  void TypingAFullAddress() {
    Type(QStringLiteral("192.168.1.20"));
    QCOMPARE(m_edit->Address(), (Bytes{192, 168, 1, 20}));
    QCOMPARE(m_edit->Field(2)->text(), QStringLiteral("1"));
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(3));
  }

  void DotMovesToTheNextField() {
    Type(QStringLiteral("10."));
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(1));
    // A dot in an empty field stays there and types nothing.
    Type(QStringLiteral("."));
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(1));
    QCOMPARE(m_edit->Field(1)->text(), QString());
    Type(QStringLiteral("0.0.7"));
    QCOMPARE(m_edit->Address(), (Bytes{10, 0, 0, 7}));
    // The last field does not move on.
    Type(QStringLiteral("."));
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(3));
  }

  void ThirdDigitMovesOn() {
    Type(QStringLiteral("127"));
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(1));
    Type(QStringLiteral("0"));
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(1));
  }

  void ValuesAbove255AreClamped() {
    Type(QStringLiteral("300"));
    QCOMPARE(m_edit->Field(0)->text(), QStringLiteral("255"));
    Type(QStringLiteral("256999"));
    QCOMPARE(m_edit->Address(), (Bytes{255, 255, 255, 0}));
    QCOMPARE(m_edit->Field(1)->text(), QStringLiteral("255"));
  }

  void NonDigitsAreNotTyped() {
    Type(QStringLiteral("1a2-"));
    QCOMPARE(m_edit->Field(0)->text(), QStringLiteral("12"));
  }

  void BackspaceAtTheStartGoesBack() {
    Type(QStringLiteral("12."));
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(1));
    Press(Qt::Key_Backspace);
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(0));
    QCOMPARE(m_edit->Field(0)->cursorPosition(), 2);
    // From there Backspace deletes as usual.
    Press(Qt::Key_Backspace);
    QCOMPARE(m_edit->Field(0)->text(), QStringLiteral("1"));
    // At the first field it goes nowhere.
    Press(Qt::Key_Backspace);
    Press(Qt::Key_Backspace);
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(0));
  }

  void ArrowsCrossFields() {
    m_edit->SetAddress(1, 2, 3, 4);
    m_edit->Field(0)->setCursorPosition(1);
    Press(Qt::Key_Right);
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(1));
    QCOMPARE(m_edit->Field(1)->cursorPosition(), 0);
    Press(Qt::Key_Left);
    QCOMPARE(QApplication::focusWidget(), m_edit->Field(0));
  }

  void SetAddressAndBlank() {
    QVERIFY(m_edit->IsBlank());
    QCOMPARE(m_edit->Address(), (Bytes{0, 0, 0, 0}));
    m_edit->SetAddress(127, 0, 0, 1);
    QVERIFY(!m_edit->IsBlank());
    QCOMPARE(m_edit->Address(), (Bytes{127, 0, 0, 1}));
    QCOMPARE(m_edit->Field(3)->text(), QStringLiteral("1"));
    m_edit->ClearAddress();
    QVERIFY(m_edit->IsBlank());
  }

  void OneTabStop() {
    QCOMPARE(m_edit->Field(0)->focusPolicy(), Qt::StrongFocus);
    for (int i = 1; i < 4; ++i) QCOMPARE(m_edit->Field(i)->focusPolicy(), Qt::ClickFocus);
  }

 private:
  std::unique_ptr<QWidget> m_window;
  CIpAddressEdit* m_edit = nullptr;
};

QUARVENT_UI_TEST(IpAddressEditTest);

#include "ip_address_edit_test.moc"
