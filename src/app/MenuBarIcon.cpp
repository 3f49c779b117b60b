#include "MenuBarIcon.h"

#include "Symbols.h"

#include <QHash>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace larkhold::MenuBarIcon {

namespace {

QPixmap drawn(const QString& resource, int size, const QColor& colour) {
    QSvgRenderer renderer(resource);
    if (!renderer.isValid())
        return {};
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), colour);
    return pixmap;
}

} // namespace

QString imageName(bool anyUnlocked) {
    return anyUnlocked ? QStringLiteral("menubar_wren_open") : QStringLiteral("menubar_wren");
}

QIcon image(bool anyUnlocked, bool darkPanel) {
    static QHash<QString, QIcon> cache;
    const QString name = imageName(anyUnlocked);
    const QString key = name + (darkPanel ? QStringLiteral("-dark") : QStringLiteral("-light"));
    if (const auto found = cache.constFind(key); found != cache.cend())
        return *found;

    const QString resource = QStringLiteral(":/larkhold/app/%1.svg").arg(name);
    const QColor colour = darkPanel ? QColor(0xf2, 0xf2, 0xf2) : QColor(0x1e, 0x1e, 0x1e);
    QIcon icon;
    for (int size : {16, 22, 24, 32, 44, 48, 64}) {
        const QPixmap pixmap = drawn(resource, size, colour);
        if (!pixmap.isNull())
            icon.addPixmap(pixmap);
    }
    if (icon.isNull()) {
        return Symbols::icon(anyUnlocked ? QStringLiteral("lock.open.fill") : QStringLiteral("lock.fill"));
    }
    cache.insert(key, icon);
    return icon;
}

} // namespace larkhold::MenuBarIcon

void initAppResources() {
    Q_INIT_RESOURCE(app);
}
