#pragma once

#include "PasswordStrength.h"

#include <QColor>
#include <QWidget>
#include <array>
#include <optional>

class QLabel;
class QVariantAnimation;

namespace larkhold {

// The meter under a new password: four segments filled up to the rating's level, the level's name
// in its colour, and one tip. It only advises; the sheets apply their own length rule. An empty
// password shows nothing and takes no room. The rating is recomputed on every change; the password
// itself is not kept.
class PasswordStrengthView : public QWidget {
    Q_OBJECT

public:
    explicit PasswordStrengthView(QWidget* parent = nullptr);
    ~PasswordStrengthView() override;

    void setPassword(const QString& password);

    // The rating shown, nothing for an empty password.
    std::optional<PasswordStrength::Level> level() const { return level_; }
    std::optional<QString> tip() const { return tip_; }
    QLabel* tipLabel() const { return tipLabel_; }

    static QString label(PasswordStrength::Level level);
    static QColor color(PasswordStrength::Level level, const QPalette& palette);
    // Segments filled for a level: one for weak, all four for strong.
    static int filledSegments(PasswordStrength::Level level) { return static_cast<int>(level) + 1; }

    // Jumps to the end of a running level change (for pictures of the meter).
    void finishAnimation();

protected:
    void changeEvent(QEvent* event) override;

private:
    class Bar;
    void restyle();

    Bar* bar_;
    QLabel* tipLabel_;
    std::optional<PasswordStrength::Level> level_;
    std::optional<QString> tip_;
};

} // namespace larkhold
