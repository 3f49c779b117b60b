#pragma once

#include <QFrame>

class QLayout;
class QVBoxLayout;

namespace larkhold {

// A framed group of form rows on a soft background. Add rows to contentLayout().
class FieldGroup : public QFrame {
    Q_OBJECT

public:
    explicit FieldGroup(QWidget* parent = nullptr);

    QVBoxLayout* contentLayout() const { return layout_; }
    void addRow(QWidget* row);
    void addRow(QLayout* row);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* layout_;
};

} // namespace larkhold
