#include "AppTheme.h"

#include <optional>
#include <vector>

namespace larkhold {

namespace {
struct ThemeName {
    AppTheme theme;
    const char* raw;
};
constexpr ThemeName kThemeNames[] = {
    {AppTheme::classic, "classic"},
    {AppTheme::nativePro, "nativePro"},
    {AppTheme::nightWatch, "nightWatch"},
    {AppTheme::softFocus, "softFocus"},
};
} // namespace

std::optional<AppTheme> appThemeFromRaw(const QString& raw) {
    for (const ThemeName& entry : kThemeNames) {
        if (raw == QLatin1String(entry.raw))
            return entry.theme;
    }
    return std::nullopt;
}

AppTheme appThemeOrClassic(const QString& raw) {
    return appThemeFromRaw(raw).value_or(AppTheme::classic);
}

QString rawValue(AppTheme theme) {
    for (const ThemeName& entry : kThemeNames) {
        if (entry.theme == theme)
            return QString::fromLatin1(entry.raw);
    }
    return QStringLiteral("classic");
}

const std::vector<AppTheme>& allAppThemes() {
    static const std::vector<AppTheme> all{AppTheme::classic, AppTheme::nativePro, AppTheme::nightWatch,
                                           AppTheme::softFocus};
    return all;
}

} // namespace larkhold
