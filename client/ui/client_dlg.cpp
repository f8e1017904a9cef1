#include "client/ui/client_dlg.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <algorithm>

#include "client/ui/chart_window.h"
#include "common/port_text.h"
#include "common/protocol.h"
#include "common/ui/dialog_units.h"
#include "common/ui/ip_address_edit.h"
#include "common/ui/message_box.h"

namespace quarvent {
namespace {

// A label of the template. A text with "&" names its buddy's mnemonic.
QLabel* AddLabel(QWidget* parent, const DialogUnits& du, const char* name, const QString& text,
                 int x, int y, int w, int h) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  if (!text.contains(u'&')) label->setTextFormat(Qt::PlainText);
  du.Place(label, x, y, w, h);
  return label;
}

QRadioButton* AddRadio(QWidget* parent, const DialogUnits& du, QButtonGroup* group, int index,
                       int id, const QString& text, int x, int y, int w, int h) {
  auto* radio = new QRadioButton(text, parent);
  SetControlId(radio, id);
  group->addButton(radio, index);
  du.Place(radio, x, y, w, h);
  return radio;
}

QPushButton* AddButton(QWidget* parent, const DialogUnits& du, int id, const QString& text, int x,
                       int y, int w, int h) {
  auto* button = new QPushButton(text, parent);
  SetControlId(button, id);
  du.Place(button, x, y, w, h);
  return button;
}

// A group's mnemonic goes to its checked radio, as Tab does: a mnemonic
// that is not ambiguous also clicks its buddy, which then changes nothing.
void FollowCheckedRadio(QLabel* label, QButtonGroup* group) {
  QObject::connect(group, &QButtonGroup::buttonToggled, label,
                   [label](QAbstractButton* button, bool checked) {
                     if (checked) label->setBuddy(button);
                   });
}

// Checks the radio at index; none at all for an index outside the group.
void CheckRadio(QButtonGroup* group, int index) {
  if (QAbstractButton* button = group->button(index)) {
    button->setChecked(true);
    return;
  }
  group->setExclusive(false);
  for (QAbstractButton* button : group->buttons()) button->setChecked(false);
  group->setExclusive(true);
}

}  // namespace

CClientDlg::CClientDlg(const ClientTiming& timing, QWidget* parent)
    : CMainDialog(Program::Client, parent) {
  setWindowTitle(QStringLiteral("クァルヴェント（模擬端末）"));
  // What the constructor leaves for the first exchange; start-up replaces it.
  m_nPort = 2001;
  m_nDuration = -1;
  m_nProtocol = -1;
  CreateControls();
  CreateCommands();
  m_controller = std::make_unique<ClientController>(*this, timing);
}

CClientDlg::~CClientDlg() {
  // The runs are stopped and joined while every member they might reach is
  // whole; the controller then has the queued tasks and the timers dropped.
  for (auto& entry : m_timers) entry.second->stop();
  m_controller.reset();
  // The chart window reads the history, a member: it goes first.
  delete m_chartWnd;
}

// Template 102, in tab order: the order of creation is the focus chain.
void CClientDlg::CreateControls() {
  const DialogUnits du(font());
  du.SizeClient(this, 247, 263);
  CreateSettingControls();
  CreateResultControls();

  m_btnStart = AddButton(this, du, kIdcStart, QStringLiteral("測定開始"), 192, 74, 50, 26);
  m_btnStart->setDefault(true);
  connect(m_btnStart, &QPushButton::clicked, this, &CClientDlg::OnStart);
  m_btnAbort = AddButton(this, du, kIdcAbort, QStringLiteral("測定中断"), 192, 6, 50, 16);
  connect(m_btnAbort, &QPushButton::clicked, this, &CClientDlg::OnAbort);

  m_groupProtocol = new QButtonGroup(this);
  AddRadio(this, du, m_groupProtocol, 0, kIdcTcp, QStringLiteral("TCP"), 64, 78, 29, 10);
  AddRadio(this, du, m_groupProtocol, 1, kIdcUdp, QStringLiteral("UDP"), 98, 78, 29, 10);
  FollowCheckedRadio(
      AddLabel(this, du, "protocolLabel", QStringLiteral("ﾌﾟﾛﾄｺﾙ(&P):"), 6, 80, 48, 8),
      m_groupProtocol);
}

void CClientDlg::CreateSettingControls() {
  const DialogUnits du(font());
  QLabel* label =
      AddLabel(this, du, "addressLabel", QStringLiteral("ｻｰﾊﾞアドレス(&A):"), 8, 6, 52, 8);
  m_ipServer = new CIpAddressEdit(this);
  SetControlId(m_ipServer, kIdcAddress);
  du.Place(m_ipServer, 64, 4, 92, 12);
  label->setBuddy(m_ipServer);

  label = AddLabel(this, du, "portLabel", QStringLiteral("接続ポート(&P):"), 8, 21, 48, 8);
  m_editPort = new QLineEdit(this);
  SetControlId(m_editPort, kIdcPort);
  m_editPort->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  du.Place(m_editPort, 64, 21, 28, 12);
  label->setBuddy(m_editPort);
  AddLabel(this, du, "portHint", QStringLiteral("(模擬ｻｰﾊﾞに合わせて下さい)"), 98, 23, 88, 8);

  label = AddLabel(this, du, "durationLabel", QStringLiteral("テスト時間(&T):"), 8, 39, 44, 8);
  m_groupDuration = new QButtonGroup(this);
  FollowCheckedRadio(label, m_groupDuration);
  AddRadio(this, du, m_groupDuration, 0, kIdcDurationAuto, QStringLiteral("自動テスト"), 64, 38, 47,
           10);
  AddRadio(this, du, m_groupDuration, 1, kIdcDuration15, QStringLiteral("15秒"), 116, 38, 30, 10);
  AddRadio(this, du, m_groupDuration, 2, kIdcDuration30, QStringLiteral("30秒"), 152, 38, 30, 10);
  AddRadio(this, du, m_groupDuration, 3, kIdcDurationContinuous, QStringLiteral("連続"), 188, 38,
           30, 10);

  label = AddLabel(this, du, "patternLabel", QStringLiteral("受信ﾊﾟﾀｰﾝ(&P):"), 8, 56, 48, 8);
  m_comboPattern = new QComboBox(this);
  SetControlId(m_comboPattern, kIdcPattern);
  for (int pattern = 0; pattern < kPatternCount; ++pattern) {
    const std::string_view entry = PatternEntryText(pattern);
    m_comboPattern->addItem(QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size())));
  }
  // The list drops down over 116 units: all eleven entries at once.
  m_comboPattern->setMaxVisibleItems(kPatternCount);
  du.Place(m_comboPattern, 62, 56, 144, 12);
  label->setBuddy(m_comboPattern);
  AddLabel(this, du, "patternHint", QStringLiteral("（ｱﾌﾟﾘ送信単位）"), 4, 68, 52, 8);
}

void CClientDlg::CreateResultControls() {
  const DialogUnits du(font());
  auto* group = new QGroupBox(QStringLiteral("測定結果:"), this);
  group->setObjectName(QStringLiteral("resultGroup"));
  du.Place(group, 4, 98, 240, 150);
  AddLabel(this, du, "elapsedLabel", QStringLiteral("経過時間 :"), 8, 110, 36, 8);

  m_staticElapsed = new QLabel(QStringLiteral("Static"), this);
  SetControlId(m_staticElapsed, kIdcElapsed);
  m_staticElapsed->setTextFormat(Qt::PlainText);
  m_staticElapsed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  m_staticElapsed->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  m_staticElapsed->setLineWidth(1);
  du.Place(m_staticElapsed, 48, 108, 40, 12);

  m_progress = new QProgressBar(this);
  SetControlId(m_progress, kIdcProgress);
  m_progress->setTextVisible(false);
  m_progress->setFocusPolicy(Qt::NoFocus);
  du.Place(m_progress, 92, 110, 36, 8);

  m_btnClear = AddButton(this, du, kIdcClear, QStringLiteral("ｸﾘｱ"), 132, 106, 30, 14);
  connect(m_btnClear, &QPushButton::clicked, this, &CClientDlg::OnClear);
  AddLabel(this, du, "copyHint", QStringLiteral("↓ CTRL+Cでｺﾋﾟｰ可能"), 166, 110, 68, 8);

  // Read-only, but selectable by mouse and keyboard at any time, so the
  // report can be copied out (Ctrl+C) even while a run goes on.
  m_editResult = new QPlainTextEdit(this);
  SetControlId(m_editResult, kIdcResult);
  m_editResult->setReadOnly(true);
  m_editResult->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  m_editResult->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_editResult->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_editResult->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_editResult->setTabChangesFocus(true);
  du.Place(m_editResult, 8, 122, 230, 122);
  // The gothic font installed here runs wider than the one the layout was drawn
  // for; the units note has free room to its right, so it grows to show its
  // whole text rather than being cut off.
  QLabel* note =
      AddLabel(this, du, "unitsNote", QStringLiteral("(1KB=1024 Bytes, 1MB=1024×1024 Bytes,)"), 10,
               252, 136, 8);
  note->resize(std::min(std::max(note->width(), note->sizeHint().width()), width() - note->x()),
               note->height());
}

bool CClientDlg::OnInitDialog() {
  UpdateData(false);  // the first exchange shows the constructor's values
  CMainDialog::OnInitDialog();
  m_progress->setRange(0, 1000);
  m_progress->setValue(0);
  m_nPattern = 0;
  m_nPort = kDefaultPort;
  m_nDuration = 0;
  m_ipServer->SetAddress(127, 0, 0, 1);
  m_staticElapsed->clear();
  SetMeasuringState(0);
  m_nProtocol = kTcp;
  UpdateData(false);
  m_ipServer->setFocus();
  return true;
}

void CClientDlg::UpdateData(bool save) {
  if (save) {
    m_nPattern = m_comboPattern->currentIndex();
    int port = 0;
    if (PortIsInteger(&port)) m_nPort = port;  // else the last value read stays
    m_nDuration = m_groupDuration->checkedId();
    m_nProtocol = m_groupProtocol->checkedId();
    const CIpAddressEdit::Bytes b = m_ipServer->Address();
    m_dwAddress = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                  static_cast<uint32_t>(b[2]) << 8 | b[3];
    return;
  }
  m_comboPattern->setCurrentIndex(m_nPattern >= 0 && m_nPattern < kPatternCount ? m_nPattern : -1);
  m_editPort->setText(QString::number(m_nPort));
  ShowReport();
  CheckRadio(m_groupDuration, m_nDuration);
  CheckRadio(m_groupProtocol, m_nProtocol);
}

bool CClientDlg::PortIsInteger(int* port) const {
  int value = 0;
  const QByteArray text = m_editPort->text().toUtf8();
  if (!ParsePortText(std::string_view(text.constData(), static_cast<size_t>(text.size())), &value))
    return false;
  if (port != nullptr) *port = value;
  return true;
}

void CClientDlg::OnStart() {
  // A port that is no integer is reported and nothing starts: the user
  // corrects it first (a run against a port of before would surprise).
  if (!PortIsInteger(nullptr)) {
    AppMessageBox(this, NotIntegerText());
    m_editPort->setFocus();
    m_editPort->selectAll();
    return;
  }
  const MeasureSettings settings = ReadSettings();
  // The controls show what was read (a port as the exchange wrote it back).
  UpdateData(false);
  m_controller->Start(settings);
}

void CClientDlg::OnAbort() {
  m_controller->OnAbort();
}

void CClientDlg::OnClear() {
  // Only the report and the elapsed time go. The settings stay as the user
  // left them, edits that no start has read yet included: copying the last
  // start's values back into the controls would lose them, and the next
  // 測定開始 would measure a target the user had changed.
  m_controller->OnClear();
}

void CClientDlg::done(int result) {
  DestroyWindow();
  QDialog::done(result);
}

void CClientDlg::DestroyWindow() {
  m_controller->Shutdown();
  for (auto& entry : m_timers) entry.second->stop();
  if (m_notice) m_notice->reject();
  if (m_chartWnd) m_chartWnd->hide();
}

}  // namespace quarvent
