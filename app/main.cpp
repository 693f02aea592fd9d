#include "app/ProgrammerApp.h"

#include <QApplication>

// The one application object, alive for the whole run.
CProgrammerApp theApp;

int main(int argc, char** argv) {
    // The QApplication comes first: it takes its own options (-platform, -style,
    // ...) out of argv, so they are never mistaken for the image path.
    QApplication application(argc, argv);
    // Wayland desktops match the window to its menu entry and icon by this name
    // (the installed .desktop file's); X11 ones by the entry's StartupWMClass.
    QGuiApplication::setDesktopFileName(QStringLiteral(FWPROG_APP_ID));
    theApp.InitInstance(argc, argv);
    return 0;
}
