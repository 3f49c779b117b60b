#include "ColorScheme.h"

#include <QApplication>
#include <QStyleFactory>
#include <memory>

// Picked up by the test main in place of a core application (see TestMain.cpp).
std::unique_ptr<QCoreApplication> makeTestApplication(int& argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The same style on every machine, so that screens and size checks do not depend on the desktop.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    auto app = std::make_unique<QApplication>(argc, argv);
    larkhold::ColorScheme::apply(*app, false);
    return app;
}
