#include "SymbolIcons.h"

#include <QHash>

namespace larkhold {

QIcon symbolIcon(const QString& symbol) {
    static const QHash<QString, QString> themeNames{
        {QStringLiteral("lock.fill"), QStringLiteral("changes-prevent")},
        {QStringLiteral("lock.open.fill"), QStringLiteral("changes-allow")},
        {QStringLiteral("folder.badge.questionmark"), QStringLiteral("folder")},
        {QStringLiteral("externaldrive.badge.questionmark"), QStringLiteral("drive-harddisk")},
    };
    return QIcon::fromTheme(themeNames.value(symbol));
}

} // namespace larkhold
