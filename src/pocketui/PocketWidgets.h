#pragma once

#include <QColor>
#include <QFrame>
#include <QPalette>
#include <QWidget>
#include <functional>

namespace larkhold {

// Small pieces the Pocket windows share. Each takes its colours from its palette when it paints,
// so it follows a switch between light and dark at once.

// A plain area filled with a colour derived from the palette (a tinted banner, a sidebar).
class Band : public QWidget {
public:
    Band(std::function<QColor(const QPalette&)> color, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<QColor(const QPalette&)> color_;
};

} // namespace larkhold
