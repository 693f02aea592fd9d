// Widget tests run without a display and with a settings directory of their own.
#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings go to a private directory that disappears with the run; the
    // variable must be set before anything asks Qt where settings live.
    QTemporaryDir configHome;
    if (!configHome.isValid()) {
        return 2;
    }
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
