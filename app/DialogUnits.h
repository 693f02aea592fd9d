#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

// Dialog layouts are given in dialog units, which scale with the dialog's font:
// a horizontal unit is a quarter of the font's average character width and a
// vertical unit an eighth of its character height.
struct DialogBaseUnits {
    int averageCharWidth = 0;
    int charHeight = 0;

    static DialogBaseUnits forFont(const QFont& font);

    int toPixelsX(int x) const;
    int toPixelsY(int y) const;
    QRect toPixels(const QRect& dialogUnits) const;
    QRect toPixels(int x, int y, int width, int height) const;
    QSize toPixels(const QSize& dialogUnits) const;
};

// The font every dialog of the program is laid out with.
QFont dialogFont();

// Gives a control of a dialog template its rectangle, given in dialog units.
void placeControl(QWidget* control, const DialogBaseUnits& units, int x, int y, int width,
                  int height);
