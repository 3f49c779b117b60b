#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>

namespace larkhold {

// The one map from the symbol names the windows use (written as the designs name them, e.g.
// "lock.open.fill") to icons: the desktop's icon theme first, a bundled monochrome SVG otherwise.
namespace Symbols {

// The icon for a symbol; a bundled placeholder for a name the map does not know, never a null icon.
QIcon icon(const QString& symbolName);

// The symbol drawn in one colour at `pixelSize` (logical pixels, sharp at `devicePixelRatio`), as
// the kit paints glyphs on tiles, in labels and in buttons.
QPixmap pixmap(const QString& symbolName, int pixelSize, const QColor& color, qreal devicePixelRatio = 1.0);

// The freedesktop icon names tried for a symbol, best first; empty for an unknown symbol.
QStringList themeNames(const QString& symbolName);
// The bundled fallback's resource path; empty for an unknown symbol.
QString fallbackPath(const QString& symbolName);
// Every symbol the map knows.
QStringList knownSymbols();

// Registers the bundled icons and the application icon (":/larkhold/…"); called by every reader.
void loadBundledResources();

} // namespace Symbols
} // namespace larkhold
