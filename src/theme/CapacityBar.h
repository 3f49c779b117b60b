#pragma once

#include "Capacity.h"

#include "Tween.h"
#include <QWidget>

namespace larkhold {

// A thin usage bar: a faint track over the whole width and a fill in the gradient its fraction
// calls for.
class CapacityBar : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHeight = 4;

    explicit CapacityBar(QWidget* parent = nullptr);
    CapacityBar(double fraction, bool sealed, QWidget* parent = nullptr);

    double fraction() const { return fraction_; }
    void setFraction(double fraction);
    double shownFraction() const { return shown_; }
    bool isSealed() const { return sealed_; }
    void setSealed(bool sealed);
    GradientKind fillGradient() const { return Capacity::barGradient(fraction_); }
    bool isAnimating() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double fraction_ = 0;
    double shown_ = 0;
    bool sealed_ = false;
    Tween animation_;
};

} // namespace larkhold
