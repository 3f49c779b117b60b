#include "PasswordMeter.h"

#include "PasswordStrength.h"
#include "Theme.h"

#include <QLabel>

namespace larkhold {

// Until the shared meter is available: the level's name and its tip in one line.
QWidget* makePasswordMeter(QWidget* parent) {
    auto* meter = new ThemeLabel(QString(), parent);
    meter->setObjectName(QStringLiteral("passwordMeter"));
    meter->setWordWrap(true);
    meter->setFont(Theme::font(11));
    meter->setTone(ThemeLabel::Tone::secondary);
    meter->hide();
    return meter;
}

void showPasswordRating(QWidget* meter, const QString& password) {
    auto* label = qobject_cast<QLabel*>(meter);
    if (!label)
        return;
    label->setVisible(!password.isEmpty());
    if (password.isEmpty())
        return;
    static const char* const names[] = {"Weak", "Fair", "Good", "Strong"};
    const PasswordStrength rating(password);
    QString text = QString::fromLatin1(names[static_cast<int>(rating.level)]);
    if (rating.tip)
        text += QStringLiteral(" — ") + *rating.tip;
    label->setText(text);
}

} // namespace larkhold
