#pragma once

#include <QStringList>
#include <QWidget>

namespace larkhold {

// A row of mutually exclusive segments (the vault kind, the size unit, the Pocket capacity). Painted
// from the palette; clicks and the arrow keys pick a segment. A disabled segment cannot be
// picked.
class SegmentedControl : public QWidget {
    Q_OBJECT

public:
    explicit SegmentedControl(QStringList labels, QWidget* parent = nullptr);

    int currentIndex() const { return current_; }
    // Selects without emitting activated().
    void setCurrentIndex(int index);
    void setSegmentEnabled(int index, bool enabled);
    bool isSegmentEnabled(int index) const;
    int count() const { return static_cast<int>(labels_.size()); }
    const QStringList& labels() const { return labels_; }
    QRect segmentRect(int index) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // The user picked a segment.
    void activated(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void pick(int index);

    QStringList labels_;
    QList<bool> enabled_;
    int current_ = 0;
};

} // namespace larkhold
