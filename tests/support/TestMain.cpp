#include "ChildJob.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <memory>

// Window tests link larkhold_test_gui, which defines this to make a QApplication; every other test
// gets a core application.
__attribute__((weak)) std::unique_ptr<QCoreApplication> makeTestApplication(int& argc, char** argv);

// An application object exists for every test so that Qt's event loop, timers and thread pool work.
int main(int argc, char** argv) {
    std::unique_ptr<QCoreApplication> app =
        makeTestApplication ? makeTestApplication(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    if (const std::optional<int> status = larkhold::test::runChildJobFromCommandLine(argc, argv))
        return *status;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
