#include "app/DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

namespace {

// value * numerator / denominator, rounded half away from zero, as the window
// system maps dialog rectangles; plain truncation would drift by a pixel per control.
int mulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

}  // namespace

DialogBaseUnits DialogBaseUnits::forFont(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width is taken over the 52 Latin letters, as the window system
    // does for dialog fonts, rounded to the nearest pixel.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogBaseUnits units;
    units.averageCharWidth = (letters / 26 + 1) / 2;
    units.charHeight = metrics.height();
    return units;
}

int DialogBaseUnits::toPixelsX(int x) const {
    return mulDiv(x, averageCharWidth, 4);
}

int DialogBaseUnits::toPixelsY(int y) const {
    return mulDiv(y, charHeight, 8);
}

QRect DialogBaseUnits::toPixels(const QRect& dialogUnits) const {
    return toPixels(dialogUnits.x(), dialogUnits.y(), dialogUnits.width(), dialogUnits.height());
}

QRect DialogBaseUnits::toPixels(int x, int y, int width, int height) const {
    // Both corners are mapped, so adjacent controls stay adjacent after rounding.
    const int left = toPixelsX(x);
    const int top = toPixelsY(y);
    const int right = toPixelsX(x + width);
    const int bottom = toPixelsY(y + height);
    return QRect(left, top, right - left, bottom - top);
}

QSize DialogBaseUnits::toPixels(const QSize& dialogUnits) const {
    return QSize(toPixelsX(dialogUnits.width()), toPixelsY(dialogUnits.height()));
}

QFont dialogFont() {
    // The layouts were drawn for a small 8 point sans-serif face; where that exact
    // face is missing, the closest sans-serif takes its place.
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}

void placeControl(QWidget* control, const DialogBaseUnits& units, int x, int y, int width,
                  int height) {
    control->setGeometry(units.toPixels(x, y, width, height));
}
