#include "MainWindow.h"

#include <QLabel>

namespace larkhold {

MainWindow::MainWindow(HomeDeps deps, QWidget* parent) : QMainWindow(parent), deps_(deps) {
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QStringLiteral("Larkhold"));
    setCentralWidget(new QLabel(QStringLiteral("Larkhold"), this));
    resize(500, 460);
}

MainWindow::~MainWindow() = default;

} // namespace larkhold
