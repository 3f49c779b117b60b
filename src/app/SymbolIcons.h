#pragma once

#include <QIcon>
#include <QString>

namespace larkhold {

// The icon for a symbol name the windows use ("lock.fill", "folder", …).
QIcon symbolIcon(const QString& symbol);

} // namespace larkhold
