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

// A symbol of the kit's map at a fixed size in a colour derived from the palette.
class SymbolIcon : public QWidget {
public:
    SymbolIcon(const QString& symbol, int size, std::function<QColor(const QPalette&)> color, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    int size_;
    std::function<QColor(const QPalette&)> color_;
};

// A one-pixel line across, faint in light and dark alike.
QWidget* divider(QWidget* parent);

} // namespace larkhold
