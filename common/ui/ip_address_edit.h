// An IPv4 address field: four fields of 0 to 255 with dots between them. A dot
// (or a third digit) moves on to the next field, Backspace or Left at the start
// of a field goes back to the previous one, Right at the end goes on, and a
// value above 255 becomes 255. The whole control is one tab stop.
#pragma once

#include <QFrame>
#include <array>
#include <cstdint>

class QLineEdit;

namespace quarvent {

class CIpAddressEdit : public QFrame {
  Q_OBJECT

 public:
  using Bytes = std::array<std::uint8_t, 4>;

  explicit CIpAddressEdit(QWidget* parent = nullptr);

  // The four bytes, most significant first; a blank field counts as 0.
  Bytes Address() const;
  void SetAddress(const Bytes& address);
  void SetAddress(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    SetAddress(Bytes{b0, b1, b2, b3});
  }
  // True while all four fields are blank.
  bool IsBlank() const;
  void ClearAddress();

  // One of the four fields (0 is the most significant).
  QLineEdit* Field(int index) const { return m_fields[static_cast<std::size_t>(index)]; }

 signals:
  void AddressChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  int IndexOf(QObject* field) const;
  void OnFieldEdited(int index);
  void MoveTo(int index, bool selectAll, bool atEnd);

  std::array<QLineEdit*, 4> m_fields{};
};

}  // namespace quarvent
