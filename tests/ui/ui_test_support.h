// Support for the dialog tests: a registry of Qt Test classes run by one
// program, and a watcher that acts on the next modal window (message boxes,
// the about box, a main dialog run by exec()).
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

namespace quarvent::test {

using TestFactory = std::function<std::unique_ptr<QObject>()>;
std::vector<TestFactory>& Registry();
inline bool Register(TestFactory factory) {
  Registry().push_back(std::move(factory));
  return true;
}

// Polls for a modal window other than `ignore` for up to timeoutMs and hands
// the first one found to act, once. act must close it, or the modal loop that
// shows it never returns. Count() tells how many windows were handed over.
class ModalWatcher : public QObject {
 public:
  using Action = std::function<void(QWidget*)>;
  explicit ModalWatcher(Action act, QWidget* ignore = nullptr, int timeoutMs = 5000)
      : m_act(std::move(act)), m_ignore(ignore), m_nTimeoutMs(timeoutMs) {
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
    m_clock.start();
    m_timer.start();
  }
  int Count() const { return m_nCount; }
  // Keeps watching after a window was handed over (for several in a row).
  void SetRepeat(bool repeat) { m_bRepeat = repeat; }

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal != m_ignore && modal->isVisible() && modal != m_last) {
      m_last = modal;
      ++m_nCount;
      if (!m_bRepeat) m_timer.stop();
      m_act(modal);
      return;
    }
    if (modal == nullptr || modal == m_ignore) m_last = nullptr;
    if (m_clock.elapsed() > m_nTimeoutMs) m_timer.stop();
  }

  Action m_act;
  QPointer<QWidget> m_ignore;
  QPointer<QWidget> m_last;
  int m_nTimeoutMs;
  int m_nCount = 0;
  bool m_bRepeat = false;
  QTimer m_timer;
  QElapsedTimer m_clock;
};

}  // namespace quarvent::test

#define QUARVENT_UI_TEST(Class)          \
  static const bool kRegistered##Class = \
      ::quarvent::test::Register([] { return std::make_unique<Class>(); })
