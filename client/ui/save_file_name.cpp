#include "client/ui/save_file_name.h"

#include <QFileDialog>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace quarvent {

QString AskSaveFileName(QWidget* parent, const QString& caption, const QString& name,
                        const QString& filters, QString* selectedFilter) {
  // The dialog's settings go to a directory of their own, removed afterwards;
  // then the user's configuration path is in force again (these programs use
  // no settings of their own).
  QTemporaryDir scratch;
  const auto userPath = [] {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  };
  if (scratch.isValid()) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, scratch.path());
  }
  const QString path = QFileDialog::getSaveFileName(parent, caption, name, filters, selectedFilter);
  if (scratch.isValid()) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, userPath());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, userPath());
  }
  return path;
}

}  // namespace quarvent
