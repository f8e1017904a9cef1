// The measurement dialog of the client program (dialog 102): server address,
// port, test duration, traffic pattern and protocol, 測定開始 / 測定中断 / ｸﾘｱ,
// the elapsed time, a progress bar and the report box.
//
// The dialog is the owner (ClientHost) of the client controller, which holds
// the start, abort, timer and sweep logic. The runs' threads never touch a
// widget: what they have to say is posted to the dialog's thread (Post) and
// applied there by the controller; the one-shot timers are QTimers that call
// the controller back on the same thread.
#pragma once

#include <QPointer>
#include <QString>
#include <map>
#include <memory>
#include <string>

#include "client/client_controller.h"
#include "client/client_host.h"
#include "client/measure_log.h"
#include "client/timing.h"
#include "client/ui/chart_history.h"
#include "common/ui/main_dialog.h"

class QAction;
class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;

namespace quarvent {

class CChartWindow;
class CIpAddressEdit;

class CClientDlg : public CMainDialog, public ClientHost {
  Q_OBJECT

 public:
  // Control ids of the template.
  static constexpr int kIdcPattern = 1002;
  static constexpr int kIdcAddress = 1003;
  static constexpr int kIdcPort = 1004;
  static constexpr int kIdcResult = 1005;
  static constexpr int kIdcDuration15 = 1007;
  static constexpr int kIdcDuration30 = 1008;
  static constexpr int kIdcDurationAuto = 1011;
  static constexpr int kIdcDurationContinuous = 1012;
  static constexpr int kIdcElapsed = 1013;
  static constexpr int kIdcProgress = 1014;
  static constexpr int kIdcAbort = 1015;
  static constexpr int kIdcStart = 1016;
  static constexpr int kIdcClear = 1017;
  static constexpr int kIdcTcp = 1018;
  static constexpr int kIdcUdp = 1019;

  // Commands of the window menu above its separator and the about entry.
  static constexpr unsigned kIdmChart = 0x0020;        // グラフ (Ctrl+G)
  static constexpr unsigned kIdmSaveResults = 0x0030;  // 結果を保存... (Ctrl+S)

  // What 結果を保存... writes.
  enum class SaveKind {
    kText,  // the report exactly as the results box holds it (UTF-8, LF line ends)
    kJson,  // the last measurement, as `quarvent measure --json` writes it
    kCsv,   // the last measurement's intervals, one row each
  };

  // timing: the product's delays unless a test scales them down.
  explicit CClientDlg(const ClientTiming& timing = {}, QWidget* parent = nullptr);
  ~CClientDlg() override;

  void OnStart();        // 測定開始
  void OnAbort();        // 測定中断
  void OnClear();        // ｸﾘｱ
  void OnShowChart();    // グラフ: opens the chart window, or brings it to the front
  void OnSaveResults();  // 結果を保存...: asks for a file and a type, then saves
  // Writes what kind names to path; on failure a message box says why and
  // false is returned (nothing in the dialog changes either way).
  bool SaveResults(const QString& path, SaveKind kind);
  // Why a save failed, in Japanese, with the system's text after it.
  static QString SaveFailureReason(int error, const QString& systemText);
  // The results box's context menu at pos (in its viewport): its copy and
  // select entries, a separator, グラフ and 結果を保存.... The caller owns it.
  QMenu* ResultsContextMenu(const QPoint& pos);

  void OnSysCommand(unsigned id, qint32 param) override;

  // The chart window; null until it was first opened.
  CChartWindow* ChartWindow() const;
  // What the chart draws, and the measurement that 結果を保存... writes: both
  // begin anew at each 測定開始 (a sweep's runs all belong to its start).
  const ChartHistory& History() const { return m_history; }
  const MeasureLog& Log() const { return m_log; }

  ClientController& Controller() { return *m_controller; }
  const ClientController& Controller() const { return *m_controller; }

  // Reads the controls into the settings members (data exchange) and
  // returns what a start measures with them.
  MeasureSettings ReadSettings();

  // The settings as the controls held them when last read (the dialog's data
  // exchange members; the constructor's values until the first exchange).
  int m_nPattern = 0;                 // the pattern list index
  int m_nProtocol = kTcp;             // 0 TCP, 1 UDP
  int m_nDuration = 0;                // 0 automatic sweep, 1 15 s, 2 30 s, 3 continuous
  int m_nPort = kDefaultPort;         // as typed; its low 16 bits are used
  uint32_t m_dwAddress = 0x7F000001;  // IPv4, first field in the high byte
  int m_nIntervalMs = 1000;           // interval length (not a control: the chart's tests set it)

  // ClientHost, on the dialog's thread.
  void OnMeasureStart(const MeasureSettings& settings) override;
  void OnReportText(const std::string& report) override;
  void SelectPattern(int pattern) override;
  void SetElapsedText(std::string_view text) override;
  void SetProgress(int position) override;
  void Repaint() override;
  void SetMeasuringState(int state) override;
  void DisableAbort() override;
  void ShowRecvError(std::string_view text) override;
  void OnInterval(const IntervalData& interval) override;
  void OnRunEnd(const RunEndData& end) override;
  void OnSweepAborted(int runs, int nextPattern) override;
  // From any thread.
  void Post(std::function<void()> task) override;
  void ArmTimer(unsigned id, int delayMs) override;
  void DropQueued() override;

  // Texts of the dialog that are not in the report.
  static QString NotIntegerText() { return QStringLiteral("整数を入力してください。"); }

 protected:
  bool OnInitDialog() override;
  // Every end of the dialog (close box, Escape, the window menu) comes here.
  void done(int result) override;

 private:
  void CreateControls();
  void CreateSettingControls();
  void CreateResultControls();
  // Data exchange: members to controls (false) or controls to members (true).
  void UpdateData(bool save);
  // The port field holds an integer (what the exchange can read).
  bool PortIsInteger(int* port) const;
  // Shows the controller's report in the report box (line ends as "\n"), keeping the
  // user's selection when the text only grew.
  void ShowReport();
  // Stops the runs, the watchdogs and the timers; every end of the dialog.
  void DestroyWindow();
  // The window-menu entries of the chart and of saving, with their keys.
  void CreateCommands();
  // A user's start: the chart and the saved measurement begin anew with the
  // settings just read.
  void BeginMeasurement(const MeasureSettings& settings);
  // The chart window redraws (coalesced) if it is open.
  void ChartChanged();
  // Puts the chart window where it leaves the dialog visible (PlaceChartWindow).
  void PlaceChart();

  CIpAddressEdit* m_ipServer = nullptr;     // 1003
  QLineEdit* m_editPort = nullptr;          // 1004
  QButtonGroup* m_groupDuration = nullptr;  // 1011, 1007, 1008, 1012
  QComboBox* m_comboPattern = nullptr;      // 1002
  QLabel* m_staticElapsed = nullptr;        // 1013
  QProgressBar* m_progress = nullptr;       // 1014
  QPushButton* m_btnClear = nullptr;        // 1017
  QPlainTextEdit* m_editResult = nullptr;   // 1005
  QPushButton* m_btnStart = nullptr;        // 1016
  QPushButton* m_btnAbort = nullptr;        // 1015
  QButtonGroup* m_groupProtocol = nullptr;  // 1018, 1019
  QAction* m_actChart = nullptr;            // グラフ
  QAction* m_actSave = nullptr;             // 結果を保存...
  QPointer<CChartWindow> m_chartWnd;        // created when first opened

  ChartHistory m_history;  // the chart's data, bounded
  MeasureLog m_log;        // the last measurement, for 結果を保存...

  QString m_strShown;                    // the report box's text as last set
  std::map<unsigned, QTimer*> m_timers;  // one single-shot timer per id
  QPointer<QMessageBox> m_notice;        // the open receive-error notice
  // The receiver of posted tasks: deleted with the tasks still queued for it
  // once the controller has joined its runs, so that none of them runs.
  QObject* m_pTasks = new QObject(this);
  std::unique_ptr<ClientController> m_controller;
};

}  // namespace quarvent
