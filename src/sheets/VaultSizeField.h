#pragma once

#include "VaultSizeModel.h"

#include <QWidget>

class QSpinBox;

namespace larkhold {

class SegmentedControl;

// "Grows up to [ 10 ][▲▼] [MB|GB]": the size limit of a standard vault. The number takes the
// locale's digit grouping; whatever is typed or stepped is clamped into the range and shown as
// clamped. The field takes its owner's value when it is built and reports every change in MB.
class VaultSizeField : public QWidget {
    Q_OBJECT

public:
    VaultSizeField(qint64 sizeMB, qint64 minimumMB, QWidget* parent = nullptr);
    ~VaultSizeField() override;

    const VaultSizeModel& model() const { return model_; }
    QSpinBox* numberField() const { return number_; }
    SegmentedControl* unitPicker() const { return unit_; }
    // Starts again from the owner's current value, as when the field is shown anew.
    void reset(qint64 sizeMB);
    void setMinimumMB(qint64 minimumMB);

signals:
    void sizeChanged(qint64 sizeMB);

private:
    void apply(bool changed);
    void display();

    VaultSizeModel model_;
    QSpinBox* number_;
    SegmentedControl* unit_;
};

} // namespace larkhold
