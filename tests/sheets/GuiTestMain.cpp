#include <QApplication>

#include <gtest/gtest.h>

// Widget tests need a full application; they run on the offscreen platform.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
