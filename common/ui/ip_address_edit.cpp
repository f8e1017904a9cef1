#include "common/ui/ip_address_edit.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

namespace quarvent {

namespace {
constexpr int kLast = 3;
}

CIpAddressEdit::CIpAddressEdit(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(1, 1, 1, 1);
  layout->setSpacing(0);
  auto* validator =
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
  for (int i = 0; i <= kLast; ++i) {
    auto* field = new QLineEdit(this);
    field->setObjectName(QStringLiteral("ipField%1").arg(i));
    field->setFrame(false);
    field->setMaxLength(3);
    field->setAlignment(Qt::AlignCenter);
    field->setValidator(validator);
    field->setContextMenuPolicy(Qt::NoContextMenu);
    field->setTextMargins(0, 0, 0, 0);
    field->setMinimumWidth(1);
    // Only the first field takes Tab focus: the control is one stop in the
    // dialog's tab order; the others are reached by typing or clicking.
    field->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
    field->installEventFilter(this);
    connect(field, &QLineEdit::textEdited, this, [this, i] { OnFieldEdited(i); });
    m_fields[static_cast<std::size_t>(i)] = field;
    layout->addWidget(field, 1);
    if (i < kLast) {
      auto* dot = new QLabel(QStringLiteral("."), this);
      dot->setAlignment(Qt::AlignCenter);
      layout->addWidget(dot, 0);
    }
  }
  setFocusProxy(m_fields[0]);
  setFocusPolicy(Qt::StrongFocus);
}

CIpAddressEdit::Bytes CIpAddressEdit::Address() const {
  Bytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(qBound(0, m_fields[i]->text().toInt(), 255));
  }
  return bytes;
}

void CIpAddressEdit::SetAddress(const Bytes& address) {
  for (std::size_t i = 0; i < address.size(); ++i) {
    m_fields[i]->setText(QString::number(address[i]));
  }
  emit AddressChanged();
}

bool CIpAddressEdit::IsBlank() const {
  for (const QLineEdit* field : m_fields) {
    if (!field->text().isEmpty()) return false;
  }
  return true;
}

void CIpAddressEdit::ClearAddress() {
  for (QLineEdit* field : m_fields) field->clear();
  emit AddressChanged();
}

int CIpAddressEdit::IndexOf(QObject* field) const {
  for (int i = 0; i <= kLast; ++i) {
    if (m_fields[static_cast<std::size_t>(i)] == field) return i;
  }
  return -1;
}

void CIpAddressEdit::MoveTo(int index, bool selectAll, bool atEnd) {
  QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
  field->setFocus(Qt::OtherFocusReason);
  if (selectAll) {
    field->selectAll();
  } else {
    field->setCursorPosition(atEnd ? static_cast<int>(field->text().size()) : 0);
  }
}

void CIpAddressEdit::OnFieldEdited(int index) {
  QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
  if (field->text().toInt() > 255) field->setText(QStringLiteral("255"));
  emit AddressChanged();
  if (field->text().size() == 3 && field->cursorPosition() == 3 && index < kLast) {
    MoveTo(index + 1, true, false);
  }
}

bool CIpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
  const int index = IndexOf(watched);
  if (index < 0 || event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  QLineEdit* field = m_fields[static_cast<std::size_t>(index)];
  const bool atStart = field->cursorPosition() == 0 && !field->hasSelectedText();
  const bool atEnd = field->cursorPosition() == field->text().size() && !field->hasSelectedText();
  switch (key->key()) {
    case Qt::Key_Period:
    case Qt::Key_Space:
      // Moves on once the field holds something; a dot is never typed in.
      if (index < kLast && !field->text().isEmpty()) MoveTo(index + 1, true, false);
      return true;
    case Qt::Key_Backspace:
      if (atStart && index > 0) {
        MoveTo(index - 1, false, true);
        return true;
      }
      break;
    case Qt::Key_Left:
      if (atStart && index > 0) {
        MoveTo(index - 1, false, true);
        return true;
      }
      break;
    case Qt::Key_Right:
      if (atEnd && index < kLast) {
        MoveTo(index + 1, false, false);
        return true;
      }
      break;
    default:
      break;
  }
  return QFrame::eventFilter(watched, event);
}

void CIpAddressEdit::changeEvent(QEvent* event) {
  // A disabled control greys its background like a disabled edit.
  if (event->type() == QEvent::EnabledChange) {
    setBackgroundRole(isEnabled() ? QPalette::Base : QPalette::Window);
  }
  QFrame::changeEvent(event);
}

}  // namespace quarvent
