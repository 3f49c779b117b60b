#include "DiskImage.h"
#include "StandardSelfTest.h"
#include "Startup.h"

#include <QCoreApplication>
#include <cstdio>

using namespace larkhold;

int main(int argc, char** argv) {
    const QStringList arguments = [&] {
        QStringList list;
        for (int i = 0; i < argc; ++i)
            list << QString::fromLocal8Bit(argv[i]);
        return list;
    }();

    switch (Startup::modeFor(arguments)) {
    case Startup::Mode::pocketSelfTest: {
        // No display and no window: a core application only.
        QCoreApplication app(argc, argv);
        return Startup::runPocketSelfTest();
    }
    case Startup::Mode::standardSelfTest: {
        QCoreApplication app(argc, argv);
        const DiskImage engine;
        return Startup::runSelfTest([&engine] {
            Startup::runPocketChecks();
            StandardSelfTest::run(engine);
        });
    }
    case Startup::Mode::application:
        break;
    }

    QCoreApplication app(argc, argv);
    Startup::prepareApplication();
    std::fputs("usage: larkhold [--selftest | --selftest-pocket]\n"
               "  --selftest         check the Pocket Vault and standard-vault engines and exit (0 passed, 1 failed)\n"
               "  --selftest-pocket  check the Pocket Vault engine and exit (0 passed, 1 failed)\n",
               stdout);
    return 0;
}
