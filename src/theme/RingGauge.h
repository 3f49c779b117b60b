#pragma once

#include "Look.h"

#include <QPointer>
#include "Tween.h"
#include <QWidget>

namespace larkhold {

// A circular progress ring starting at 12 o'clock, growing clockwise, with an optional widget in
// its centre.
class RingGauge : public QWidget {
    Q_OBJECT
    Q_PROPERTY(double fraction READ fraction WRITE setFraction)

public:
    explicit RingGauge(QWidget* parent = nullptr);
    RingGauge(double fraction, qreal size, qreal thickness, QColor color, QColor track, bool sealed,
              QWidget* parent = nullptr);

    double fraction() const { return fraction_; }
    // Animates from the shown value over 0.4 s while the gauge is visible; jumps otherwise.
    void setFraction(double fraction);
    // What is drawn right now (follows the animation).
    double shownFraction() const { return shown_; }
    void setDiameter(qreal size);
    qreal diameter() const { return size_; }
    void setThickness(qreal thickness);
    void setColor(const QColor& color);
    void setTrack(const QColor& track);
    void setSealed(bool sealed);
    bool isSealed() const { return sealed_; }
    // Placed in the middle of the ring; the gauge takes ownership.
    void setCenterWidget(QWidget* widget);
    QWidget* centerWidget() const { return center_; }
    bool isAnimating() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeCenter();

    double fraction_ = 0;
    double shown_ = 0;
    qreal size_ = 40;
    qreal thickness_ = 4;
    QColor color_;
    QColor track_;
    bool sealed_ = false;
    QPointer<QWidget> center_;
    Tween animation_;
};

} // namespace larkhold
