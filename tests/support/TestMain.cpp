#include "ChildJob.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// A core application exists for every test so that Qt's event loop, timers and thread pool work.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (const std::optional<int> status = larkhold::test::runChildJobFromCommandLine(argc, argv))
        return *status;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
