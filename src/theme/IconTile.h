#pragma once

#include "Look.h"

#include <QIcon>
#include <QWidget>

namespace larkhold {

// A white symbol on a gradient rounded square.
class IconTile : public QWidget {
    Q_OBJECT

public:
    IconTile(const QString& symbol, GradientKind gradient, qreal size, QWidget* parent = nullptr);

    // The side of a tile of `size` with the room for its shadow: what it takes on screen.
    static int sideFor(qreal size);

    void setSymbol(const QString& symbol);
    QString symbol() const { return symbol_; }
    void setGradient(GradientKind gradient);
    GradientKind gradient() const { return gradient_; }
    qreal tileSize() const { return size_; }
    qreal cornerRadius() const { return 0.28 * size_; }
    qreal symbolSize() const { return 0.42 * size_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    GradientKind gradient_;
    qreal size_;
};

// The application's icon with a soft shadow, scaled into a square of the given side.
class AppIconImage : public QWidget {
    Q_OBJECT

public:
    explicit AppIconImage(qreal size, QWidget* parent = nullptr);

    // The icon the application shows: the window icon when one is set, else the bundled one.
    static QIcon applicationIcon();
    qreal iconSize() const { return size_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal size_;
};

} // namespace larkhold
