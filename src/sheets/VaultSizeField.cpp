#include "VaultSizeField.h"

#include "SegmentedControl.h"
#include "SheetDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <limits>

namespace larkhold {

namespace {

// The number with the stepper: steps and their ends come from the model, not from the spin box's
// own range, which is left wide so that typed numbers outside the range reach the model and are
// clamped there instead of being refused.
class SizeSpinBox : public QSpinBox {
public:
    SizeSpinBox(VaultSizeModel& model, std::function<void(bool)> changed)
        : model_(model), changed_(std::move(changed)) {
        setRange(0, std::numeric_limits<int>::max());
        setGroupSeparatorShown(true);
        setKeyboardTracking(false);
        setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
        setAccelerated(true);
    }

    void stepBy(int steps) override {
        // Digits typed but not yet taken (the field takes them when it loses focus or on Return) are
        // what the user steps from.
        QString typed = cleanText();
        int position = 0;
        if (validate(typed, position) == QValidator::Acceptable) {
            const int value = valueFromText(typed);
            if (value != this->value())
                changed_(model_.setValue(value));
        }
        changed_(model_.stepBy(steps));
    }

protected:
    StepEnabled stepEnabled() const override {
        StepEnabled flags = StepNone;
        if (model_.canStepUp())
            flags |= StepUpEnabled;
        if (model_.canStepDown())
            flags |= StepDownEnabled;
        return flags;
    }

private:
    VaultSizeModel& model_;
    std::function<void(bool)> changed_;
};

int shown(qint64 value) {
    return static_cast<int>(std::clamp<qint64>(value, 0, std::numeric_limits<int>::max()));
}

} // namespace

VaultSizeField::VaultSizeField(qint64 sizeMB, qint64 minimumMB, QWidget* parent)
    : QWidget(parent), model_(sizeMB, minimumMB) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    auto* caption = new QLabel(QStringLiteral("Grows up to"));
    row->addWidget(caption);
    row->addStretch(1);
    number_ = new SizeSpinBox(model_, [this](bool changed) { apply(changed); });
    // What a screen reader says for the number.
    caption->setBuddy(number_);
    number_->setObjectName(QStringLiteral("sizeNumber"));
    number_->setFixedWidth(84);
    SheetDialog::styleField(number_);
    row->addWidget(number_);
    unit_ = new SegmentedControl({QStringLiteral("MB"), QStringLiteral("GB")});
    unit_->setObjectName(QStringLiteral("sizeUnit"));
    unit_->setFixedWidth(92);
    row->addWidget(unit_);

    connect(number_, &QSpinBox::valueChanged, this, [this](int value) { apply(model_.setValue(value)); });
    connect(unit_, &SegmentedControl::activated, this, [this](int index) { apply(model_.setUnitGB(index == 1)); });
    display();
}

VaultSizeField::~VaultSizeField() = default;

void VaultSizeField::reset(qint64 sizeMB) {
    const qint64 before = model_.sizeMB();
    model_ = VaultSizeModel(sizeMB, model_.minimumMB());
    apply(model_.sizeMB() != before);
}

void VaultSizeField::setMinimumMB(qint64 minimumMB) {
    apply(model_.setMinimumMB(minimumMB));
}

void VaultSizeField::apply(bool changed) {
    display();
    if (changed)
        emit sizeChanged(model_.sizeMB());
}

void VaultSizeField::display() {
    const QSignalBlocker blockNumber(number_);
    number_->setValue(shown(model_.value()));
    number_->setSingleStep(static_cast<int>(model_.step()));
    number_->setEnabled(model_.isEditable());
    unit_->setCurrentIndex(model_.unitGB() ? 1 : 0);
    unit_->setSegmentEnabled(0, model_.canUseUnit(false) || !model_.unitGB());
    unit_->setSegmentEnabled(1, model_.canUseUnit(true) || model_.unitGB());
    unit_->setEnabled(model_.isEditable());
}

} // namespace larkhold
