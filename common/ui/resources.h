// Resources that both dialog programs carry under the same identifiers: the
// about box, the about entry of the window menu, the socket start-up failure
// text and the application icon.
#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

namespace quarvent {

inline constexpr int kIddAboutBox = 100;           // dialog: the about box
inline constexpr int kIdsAboutBox = 101;           // string: the about entry
inline constexpr int kIdpSocketsInitFailed = 103;  // string: socket layer unusable
inline constexpr int kIdrMainFrame = 128;          // icon: the application icon

// Command id of the about entry; ids 16 to 31 all mean it (low four bits ignored).
inline constexpr unsigned kIdmAboutBox = 0x0010;

// Which of the two programs is running; the about box text differs.
enum class Program { Client, Server };

// The caption of the program's main dialog, which its message boxes carry too.
QString ProgramCaption(Program program);

// The string resource with that id; empty when there is none.
QString LoadString(int id);

// The application icon drawn at size x size pixels: the window icon, and the
// icons that the packages install. Needs no QGuiApplication.
QImage DrawAppIcon(int size);

// The icon resource with that id (kIdrMainFrame: 32 x 32 and 16 x 16 images);
// a null icon when there is none. Needs a running QGuiApplication.
QIcon LoadIcon(int id);

}  // namespace quarvent
