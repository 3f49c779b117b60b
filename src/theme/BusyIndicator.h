#pragma once

#include "Tween.h"

#include <QWidget>

namespace larkhold {

// A small indeterminate progress spinner; turns only while shown.
class BusyIndicator : public QWidget {
    Q_OBJECT

public:
    explicit BusyIndicator(int size = 16, QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    int size_;
    qreal angle_ = 0;
    Tween spin_;
};

} // namespace larkhold
