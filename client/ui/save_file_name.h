// The file dialog of the client's save commands, without the file it would
// leave behind: Qt's file dialog reads and writes its history and view state
// in the user's configuration directory (QtProject.conf), and these programs
// keep nothing between runs. While it is open, that state lives in a
// temporary directory that goes away with it.
#pragma once

#include <QString>

class QWidget;

namespace quarvent {

// Asks for the name of a file to write; "" when the user cancelled.
// selectedFilter: in, the filter to start with; out, the one chosen.
QString AskSaveFileName(QWidget* parent, const QString& caption, const QString& name,
                        const QString& filters, QString* selectedFilter = nullptr);

}  // namespace quarvent
