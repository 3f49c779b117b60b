#include <QCoreApplication>

#include <gtest/gtest.h>

// A core application exists for every test so that Qt's event loop, timers and thread pool work.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
