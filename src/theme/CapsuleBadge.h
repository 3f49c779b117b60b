#pragma once

#include "Look.h"

#include <QWidget>

namespace larkhold {

// Short white bold text on a gradient capsule ("NEARLY FULL").
class CapsuleBadge : public QWidget {
    Q_OBJECT

public:
    CapsuleBadge(const QString& text, GradientKind gradient, QWidget* parent = nullptr);

    void setGradient(GradientKind gradient);
    GradientKind gradient() const { return gradient_; }
    QString text() const { return text_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    GradientKind gradient_;
};

} // namespace larkhold
