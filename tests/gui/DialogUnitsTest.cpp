// Dialog units to pixels through the dialog font.
#include "app/DialogUnits.h"

#include <QFontMetrics>

#include <gtest/gtest.h>

TEST(DialogUnits, ScaleByAQuarterCharacterAcrossAndAnEighthDownRoundedToNearest) {
    const DialogBaseUnits units{6, 13};
    EXPECT_EQ(units.toPixelsX(4), 6);
    EXPECT_EQ(units.toPixelsY(8), 13);
    EXPECT_EQ(units.toPixelsX(1), 2) << "1.5 rounds up, as the window system maps dialogs";
    EXPECT_EQ(units.toPixelsY(1), 2) << "1.625 rounds to 2";
    EXPECT_EQ(units.toPixelsY(3), 5) << "4.875 rounds to 5";
    EXPECT_EQ(units.toPixelsX(-1), -2) << "halves round away from zero";
    EXPECT_EQ(units.toPixels(QSize(345, 150)), QSize(518, 244));
    // Both corners are mapped, so the size is the difference of rounded corners.
    EXPECT_EQ(units.toPixels(14, 70, 295, 12), QRect(21, 114, 443, 19));
    EXPECT_EQ(units.toPixels(QRect(313, 69, 19, 14)), units.toPixels(313, 69, 19, 14));
    // Neighbours that touch in dialog units still touch in pixels.
    const QRect left = units.toPixels(7, 0, 3, 8);
    const QRect right = units.toPixels(10, 0, 3, 8);
    EXPECT_EQ(left.right() + 1, right.left());
}

TEST(DialogUnits, BaseUnitsComeFromTheFontsLettersAndHeight) {
    const QFont font = dialogFont();
    const DialogBaseUnits units = DialogBaseUnits::forFont(font);
    const QFontMetrics metrics(font);
    EXPECT_EQ(units.charHeight, metrics.height());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    EXPECT_LE(std::abs(units.averageCharWidth * 52 - letters), 52) << "within a pixel per letter";
    EXPECT_GT(units.averageCharWidth, 0);

    QFont larger = font;
    larger.setPointSize(font.pointSize() * 2);
    const DialogBaseUnits big = DialogBaseUnits::forFont(larger);
    EXPECT_GT(big.averageCharWidth, units.averageCharWidth);
    EXPECT_GT(big.charHeight, units.charHeight);
}
