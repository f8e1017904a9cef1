// Message boxes of both programs. Unless given a caption of its own, a box is
// titled with the program's window title, so that the user sees which of the
// two programs asks.
#pragma once

#include <QMessageBox>
#include <QString>

namespace quarvent {

// The caption of the programs' message boxes: the title of the program's main
// dialog once one was created (or SetAppTitle), else the application name.
QString AppTitle();
void SetAppTitle(const QString& title);

// A modal box; returns the button that closed it (Escape or the close box give
// the escape button: No for Yes/No, OK for OK alone).
QMessageBox::StandardButton AppMessageBox(
    QWidget* parent, const QString& text, QMessageBox::Icon icon = QMessageBox::Warning,
    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
    QMessageBox::StandardButton defaultButton = QMessageBox::Ok, const QString& caption = {});

}  // namespace quarvent
