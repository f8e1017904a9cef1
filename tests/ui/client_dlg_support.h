// Shared pieces of the client dialog tests: an in-process measurement server
// (the listen controller over a quiet host) on a free loopback port, short
// timings, and accessors for the dialog's controls.
#pragma once

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <mutex>
#include <set>
#include <thread>

#include "client/timing.h"
#include "client/ui/client_dlg.h"
#include "common/ui/dialog_units.h"
#include "common/ui/ip_address_edit.h"
#include "server/listen_controller.h"
#include "server/server_host.h"

namespace quarvent::test {

// Both stream services on `port`, serving from their own threads.
class LoopbackServer final : public ServerHost {
 public:
  explicit LoopbackServer(int port) : m_nPort(port), m_owner(std::this_thread::get_id()) {
    m_controller.OnStartListen();
  }
  ~LoopbackServer() { m_controller.OnStopListen(); }

  // Both services have bound their sockets (each resets the progress then).
  bool Ready() {
    std::lock_guard lock(m_mutex);
    return m_bound.size() >= 2;
  }
  const ListenController& Controller() const { return m_controller; }

  int Port() override { return m_nPort; }
  void SetStatusText(std::string_view) override {}
  void SetProgress(int position) override {
    if (position != 0 || std::this_thread::get_id() == m_owner) return;
    std::lock_guard lock(m_mutex);
    m_bound.insert(std::this_thread::get_id());
  }
  void SetListeningState(int) override {}
  void ClearServiceHandle(ServiceKind) override {}
  void ShowRecvErrorNotice(ServiceKind, std::string_view, NoticeAck ack) override {
    ack.Acknowledge();
  }

 private:
  int m_nPort;
  std::thread::id m_owner;
  std::mutex m_mutex;
  std::set<std::thread::id> m_bound;
  ListenController m_controller{*this};  // last: stopped first
};

// A second per run, a few tenths between the runs of a sweep.
inline ClientTiming FastTiming() {
  ClientTiming timing;
  timing.sweepNextDelayMs = 150;
  timing.forcedStopDelayMs = 300;
  timing.sweepRestoreDelayMs = 20;
  timing.watchdogPeriodMs = 10000;  // far beyond any stall of a loaded machine
  timing.durationMs[0] = 150;
  timing.durationMs[1] = 200;
  timing.durationMs[2] = 300;
  return timing;
}

template <class T>
T* Item(const CClientDlg& dlg, int id) {
  return GetDlgItem<T>(&dlg, id);
}
inline QPushButton* Button(const CClientDlg& dlg, int id) {
  return Item<QPushButton>(dlg, id);
}
inline QLineEdit* PortField(const CClientDlg& dlg) {
  return Item<QLineEdit>(dlg, CClientDlg::kIdcPort);
}
inline QComboBox* PatternList(const CClientDlg& dlg) {
  return Item<QComboBox>(dlg, CClientDlg::kIdcPattern);
}
inline QPlainTextEdit* ReportBox(const CClientDlg& dlg) {
  return Item<QPlainTextEdit>(dlg, CClientDlg::kIdcResult);
}
inline QString Report(const CClientDlg& dlg) {
  return ReportBox(dlg)->toPlainText();
}
inline QString Elapsed(const CClientDlg& dlg) {
  return Item<QLabel>(dlg, CClientDlg::kIdcElapsed)->text();
}
inline int Progress(const CClientDlg& dlg) {
  return Item<QProgressBar>(dlg, CClientDlg::kIdcProgress)->value();
}
inline void Choose(const CClientDlg& dlg, int radioId) {
  Item<QRadioButton>(dlg, radioId)->setChecked(true);
}

// The controls that the measuring state disables, in the template's order.
inline constexpr int kSettingIds[] = {
    CClientDlg::kIdcAddress,    CClientDlg::kIdcPort,       CClientDlg::kIdcDurationAuto,
    CClientDlg::kIdcDuration15, CClientDlg::kIdcDuration30, CClientDlg::kIdcDurationContinuous,
    CClientDlg::kIdcPattern,    CClientDlg::kIdcStart,      CClientDlg::kIdcClear,
    CClientDlg::kIdcTcp,        CClientDlg::kIdcUdp};

inline bool Idle(const CClientDlg& dlg) {
  for (const int id : kSettingIds)
    if (!FindControl(&dlg, id)->isEnabled()) return false;
  return !Button(dlg, CClientDlg::kIdcAbort)->isEnabled() && !dlg.Controller().Measuring();
}

// Every setting disabled, the abort button as given.
inline bool MeasuringControls(const CClientDlg& dlg, bool abortEnabled = true) {
  for (const int id : kSettingIds)
    if (FindControl(&dlg, id)->isEnabled()) return false;
  return Button(dlg, CClientDlg::kIdcAbort)->isEnabled() == abortEnabled;
}

// Lines of the report box.
inline QStringList Lines(const CClientDlg& dlg) {
  return Report(dlg).split(u'\n', Qt::SkipEmptyParts);
}

}  // namespace quarvent::test
