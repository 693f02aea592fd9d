#pragma once

#include <QIcon>
#include <QPixmap>

// The program's own pictures, from the resources built into every program that
// has a window.

// The program icon in its 32 and 16 pixel drawings.
QIcon programIcon();
// The banner painted across the top of the main window.
QPixmap bannerPixmap();
