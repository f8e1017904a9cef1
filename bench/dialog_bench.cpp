// One run of the client dialog, driven as a user would (15 秒, a pattern,
// 測定開始) on whatever platform Qt is given (offscreen for the benchmark),
// printing the report when the run has ended. The benchmark compares what it
// reports with `quarvent measure` against the same server, to show that the
// window costs the measurement nothing. With --chart the グラフ window is
// open beside it through the run, drawing every interval as it comes. The
// CPU time of the window's thread goes to stderr ("gui-thread-cpu-ms").
//
//   dialog_bench [--chart] PORT PATTERN [tcp|udp] [SECONDS]   (SECONDS replaces the 15 s)
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "client/ui/client_dlg.h"
#include "common/ui/dialog_units.h"

int main(int argc, char** argv) {
  bool chart = false;
  if (argc > 1 && std::strcmp(argv[1], "--chart") == 0) {
    chart = true;
    argv[1] = argv[0];
    --argc;
    ++argv;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: dialog_bench [--chart] PORT PATTERN [tcp|udp] [SECONDS]\n");
    return 2;
  }
  QApplication app(argc, argv);
  using quarvent::CClientDlg;
  using quarvent::GetDlgItem;
  quarvent::ClientTiming timing;
  if (argc > 4) timing.durationMs[1] = static_cast<int64_t>(std::atof(argv[4]) * 1000);
  CClientDlg dlg(timing);
  dlg.show();
  GetDlgItem<QLineEdit>(&dlg, CClientDlg::kIdcPort)->setText(QString::fromLatin1(argv[1]));
  GetDlgItem<QComboBox>(&dlg, CClientDlg::kIdcPattern)->setCurrentIndex(std::atoi(argv[2]));
  GetDlgItem<QRadioButton>(&dlg, CClientDlg::kIdcDuration15)->click();
  const bool udp = argc > 3 && std::strcmp(argv[3], "udp") == 0;
  GetDlgItem<QRadioButton>(&dlg, udp ? CClientDlg::kIdcUdp : CClientDlg::kIdcTcp)->click();
  if (chart) dlg.OnSysCommand(CClientDlg::kIdmChart, 0);

  QTimer::singleShot(0, &dlg,
                     [&dlg] { GetDlgItem<QPushButton>(&dlg, CClientDlg::kIdcStart)->click(); });
  // The run has ended once the controller is idle again.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &app, [&] {
    if (!dlg.Controller().Measuring()) app.quit();
  });
  QTimer::singleShot(100, &app, [&poll] { poll.start(50); });
  app.exec();
  const std::string& report = dlg.Controller().ReportText();
  std::fwrite(report.data(), 1, report.size(), stdout);
  // What the window's thread cost, start-up included: the figure that shows
  // what the dialog (and its chart) take from a run when the throughput
  // figures are too noisy to tell.
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  std::fprintf(stderr, "gui-thread-cpu-ms %.1f\n", ts.tv_sec * 1e3 + ts.tv_nsec / 1e6);
  return 0;
}
