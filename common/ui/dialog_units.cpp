#include "common/ui/dialog_units.h"

#include <QFontMetrics>
#include <QWidget>
#include <cstdint>

namespace quarvent {

namespace {
constexpr const char* kIdProperty = "quarventControlId";
}

QFont DialogFont() {
  QFont font(QStringLiteral("IPAPGothic"), 9);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

int MulDiv(int a, int b, int c) {
  const std::int64_t product = static_cast<std::int64_t>(a) * b;
  const bool negative = (product < 0) != (c < 0);
  const std::int64_t num = product < 0 ? -product : product;
  const std::int64_t den = c < 0 ? -static_cast<std::int64_t>(c) : c;
  const std::int64_t q = (num * 2 + den) / (den * 2);
  return static_cast<int>(negative ? -q : q);
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_nBaseX = (width / 26 + 1) / 2;
  m_nBaseY = metrics.height();
}

QRect DialogUnits::Rect(int x, int y, int w, int h) const {
  const int left = X(x);
  const int top = Y(y);
  return {left, top, X(x + w) - left, Y(y + h) - top};
}

void DialogUnits::Place(QWidget* widget, int x, int y, int w, int h) const {
  widget->setGeometry(Rect(x, y, w, h));
}

void DialogUnits::SizeClient(QWidget* dialog, int w, int h) const {
  dialog->setFixedSize(Size(w, h));
}

void SetControlId(QWidget* control, int id) {
  control->setProperty(kIdProperty, id);
  control->setObjectName(QStringLiteral("ctl%1").arg(id));
}

int ControlId(const QWidget* control) {
  const QVariant id = control->property(kIdProperty);
  return id.isValid() ? id.toInt() : -1;
}

QWidget* FindControl(const QWidget* dialog, int id) {
  return dialog->findChild<QWidget*>(QStringLiteral("ctl%1").arg(id));
}

}  // namespace quarvent
