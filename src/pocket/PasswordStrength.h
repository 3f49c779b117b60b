#pragma once

#include <QString>
#include <array>
#include <optional>

namespace larkhold {

// Advisory rating of a new password while it is typed. It never blocks anything: the sheets
// apply their own minimum length. A pure function of the text, safe on any thread.
struct PasswordStrength {
    enum class Level { weak = 0, fair = 1, good = 2, strong = 3 };

    // Accepts the raw values 0 to 3 only.
    static std::optional<Level> levelFromRawValue(int raw);

    explicit PasswordStrength(const QString& password);

    Level level = Level::weak;
    // One piece of advice; never present for a strong password.
    std::optional<QString> tip;
};

namespace CommonPasswords {
// Well-known weak passwords, lower-case ASCII, 5 to 8 characters each. A password that holds
// any of them anywhere (ignoring case) is weak.
const std::array<const char*, 20>& list();
} // namespace CommonPasswords

} // namespace larkhold
