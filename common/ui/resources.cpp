#include "common/ui/resources.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quarvent {

QString ProgramCaption(Program program) {
  return program == Program::Client ? QStringLiteral("クァルヴェント（模擬端末）")
                                    : QStringLiteral("クァルヴェント（模擬サーバ）");
}

QString LoadString(int id) {
  switch (id) {
    case kIdsAboutBox:
      return QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(&A)...");
    case kIdpSocketsInitFailed:
      return QStringLiteral("Windows ｿｹｯﾄの初期化に失敗しました。");
    default:
      return {};
  }
}

// Two arrows in opposite directions on a dark blue tile, the traffic that
// flows between the two programs. Drawn in a few flat colours so that it stays
// legible at 16 x 16. packaging/quarvent.svg is the same drawing on the same
// 32-unit grid.
QImage DrawAppIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, true);
  const qreal s = size / 32.0;
  painter.setPen(QPen(QColor(0, 0, 64), 1.0 * s));
  painter.setBrush(QColor(0, 0, 128));
  painter.drawRoundedRect(QRectF(1 * s, 1 * s, 30 * s, 30 * s), 5 * s, 5 * s);

  const auto arrow = [&](qreal y, bool toRight, const QColor& color) {
    const qreal tail = toRight ? 6 * s : 26 * s;
    const qreal head = toRight ? 26 * s : 6 * s;
    const qreal back = toRight ? head - 7 * s : head + 7 * s;
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawRect(QRectF(qMin(tail, back), y - 2 * s, qAbs(back - tail), 4 * s));
    QPainterPath tip;
    tip.moveTo(head, y);
    tip.lineTo(back, y - 6 * s);
    tip.lineTo(back, y + 6 * s);
    tip.closeSubpath();
    painter.drawPath(tip);
  };
  arrow(10 * s, true, QColor(0, 255, 255));
  arrow(22 * s, false, QColor(255, 255, 0));
  painter.end();
  return image;
}

namespace {

QPixmap DrawMainFrame(int size) {
  return QPixmap::fromImage(DrawAppIcon(size));
}

}  // namespace

QIcon LoadIcon(int id) {
  if (id != kIdrMainFrame) return {};
  QIcon icon;
  icon.addPixmap(DrawMainFrame(32));
  icon.addPixmap(DrawMainFrame(16));
  return icon;
}

}  // namespace quarvent
