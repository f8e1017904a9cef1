// Dialog units: the coordinates in which the dialog templates are written.
// One horizontal unit is a quarter of the dialog font's average character
// width, one vertical unit an eighth of its height, converted and rounded the
// way the platform that defined the units does it.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace quarvent {

// The font of every dialog of both programs: a Japanese proportional gothic at
// 9 points.
QFont DialogFont();

// a * b / c rounded to the nearest integer, halves away from zero; 64-bit in
// between so that nothing overflows. c must not be 0.
int MulDiv(int a, int b, int c);

class DialogUnits {
 public:
  // Base units measured on font: the average width of the 52 letters A-Z a-z
  // (rounded) and the font height.
  explicit DialogUnits(const QFont& font);
  DialogUnits(int baseX, int baseY) : m_nBaseX(baseX), m_nBaseY(baseY) {}

  int BaseX() const { return m_nBaseX; }
  int BaseY() const { return m_nBaseY; }

  // One coordinate in pixels.
  int X(int dlu) const { return MulDiv(dlu, m_nBaseX, 4); }
  int Y(int dlu) const { return MulDiv(dlu, m_nBaseY, 8); }

  // A rectangle: both edges are converted, so the size is X(x + w) - X(x),
  // which is how neighbouring controls stay flush.
  QRect Rect(int x, int y, int w, int h) const;
  // A size measured from the origin (a dialog's client area).
  QSize Size(int w, int h) const { return {X(w), Y(h)}; }

  // Puts widget at (x, y, w, h) dialog units in its parent.
  void Place(QWidget* widget, int x, int y, int w, int h) const;
  // Fixes a dialog's client area at w x h dialog units.
  void SizeClient(QWidget* dialog, int w, int h) const;

 private:
  int m_nBaseX;
  int m_nBaseY;
};

// Control identifiers as the templates give them. A control with an id can be
// found again by it, by the dialog and by tests.
void SetControlId(QWidget* control, int id);
int ControlId(const QWidget* control);  // -1 when it has none
QWidget* FindControl(const QWidget* dialog, int id);
template <class T>
T* GetDlgItem(const QWidget* dialog, int id) {
  return qobject_cast<T*>(FindControl(dialog, id));
}

}  // namespace quarvent
