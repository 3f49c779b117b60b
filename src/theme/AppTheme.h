#pragma once

#include <QString>
#include <optional>
#include <vector>

namespace larkhold {

// The home design chosen under the setting "appTheme". The order is the design picker's.
enum class AppTheme { classic, nativePro, nightWatch, softFocus };

// Exact match of a stored raw value; "Classic", "classic " or "" give nothing.
std::optional<AppTheme> appThemeFromRaw(const QString& raw);
// What the main window and the tray panel use: any text that names no design means classic.
AppTheme appThemeOrClassic(const QString& raw);
QString rawValue(AppTheme theme);
const std::vector<AppTheme>& allAppThemes();

} // namespace larkhold
