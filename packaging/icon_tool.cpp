// Writes the application icon as hicolor PNGs, from the drawing that the
// dialogs use for their window icon: OUTDIR/NxN/apps/quarvent.png. Raster
// drawing needs no window system.
#include <QDir>
#include <QImage>
#include <cstdio>

#include "common/ui/resources.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quarvent_icons OUTDIR\n");
    return 2;
  }
  const QString outDir = QString::fromLocal8Bit(argv[1]);
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QString dir = QStringLiteral("%1/%2x%2/apps").arg(outDir).arg(size);
    if (!QDir().mkpath(dir) ||
        !quarvent::DrawAppIcon(size).save(dir + QStringLiteral("/quarvent.png"), "PNG")) {
      std::fprintf(stderr, "quarvent_icons: cannot write %s\n", qPrintable(dir));
      return 1;
    }
  }
  return 0;
}
