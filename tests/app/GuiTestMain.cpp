#include <QApplication>

#include <gtest/gtest.h>

// The shell's tests build widgets, so they need a widget application; QT_QPA_PLATFORM=offscreen keeps it headless.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
