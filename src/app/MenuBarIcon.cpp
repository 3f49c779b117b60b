#include "MenuBarIcon.h"

#include "Symbols.h"

#include <QApplication>
#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QStyleOption>
#include <optional>

namespace larkhold::MenuBarIcon {

namespace {

const QColor lightInk(0xf2, 0xf2, 0xf2);
const QColor darkInk(0x1e, 0x1e, 0x1e);

// The ink's shape spread by `radius` pixels in `rim`, under the ink; `radius` larger on each side.
QImage ringed(const QImage& ink, const QColor& rim, int radius) {
    QImage shape = ink;
    QPainter tint(&shape);
    tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
    tint.fillRect(shape.rect(), rim);
    tint.end();
    QImage result(ink.size() + QSize(2 * radius, 2 * radius), QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx)
            if (dx * dx + dy * dy <= radius * radius + radius)
                painter.drawImage(radius + dx, radius + dy, shape);
    painter.drawImage(radius, radius, ink);
    painter.end();
    return result;
}

QPixmap drawn(const QString& resource, int size, const QColor& colour, const std::optional<QColor>& rim) {
    // Through Qt's SVG image plug-in, which brings the SVG library along the first time a tray asks:
    // linked to the program, it would be loaded and bound with every start, tray or not.
    // Two pixels of rim at the tray's usual 22: enough to outline the lock on a panel of the ink's own colour.
    // The lock shrinks by as much, so that the rim stays inside the artwork's box and leaves its corners to the tray.
    const int radius = rim ? qMax(1, qRound(size / 11.0)) : 0;
    QImageReader reader(resource, "svg");
    reader.setScaledSize(QSize(size - 2 * radius, size - 2 * radius));
    QImage image = reader.read();
    if (image.isNull())
        return {};
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), colour);
    painter.end();
    if (rim)
        image = ringed(image, *rim, radius);
    return QPixmap::fromImage(std::move(image));
}

// The artwork drawn at the size the tray asks for, when it asks: without a tray it is never drawn,
// and a tray draws it at its one size instead of all of them.
class ArtworkEngine : public QIconEngine {
public:
    ArtworkEngine(QString resource, QColor colour, std::optional<QColor> rim)
        : resource_(std::move(resource)), colour_(colour), rim_(rim) {}

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        const int side = qMax(1, qMin(size.width(), size.height()));
        QPixmap result = drawnAt(side);
        if (mode != QIcon::Normal && !result.isNull()) {
            QStyleOption option;
            option.palette = QGuiApplication::palette();
            result = QApplication::style()->generatedIconPixmap(mode, result, &option);
        }
        (void)state;
        return result;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        const QPixmap image = pixmap(rect.size() * painter->device()->devicePixelRatio(), mode, state);
        painter->drawPixmap(rect, image);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (int side : {16, 22, 24, 32, 44, 48, 64})
            sizes.append(QSize(side, side));
        return sizes;
    }

    QIconEngine* clone() const override { return new ArtworkEngine(*this); }

private:
    QPixmap drawnAt(int side) {
        if (const auto found = drawn_.constFind(side); found != drawn_.cend())
            return *found;
        const QPixmap pixmap = drawn(resource_, side, colour_, rim_);
        drawn_.insert(side, pixmap);
        return pixmap;
    }

    QString resource_;
    QColor colour_;
    std::optional<QColor> rim_;
    QHash<int, QPixmap> drawn_;
};

} // namespace

QString imageName(bool anyUnlocked) {
    return anyUnlocked ? QStringLiteral("menubar_wren_open") : QStringLiteral("menubar_wren");
}

QIcon image(bool anyUnlocked, bool darkPanel, bool panelSeen) {
    static QHash<QString, QIcon> cache;
    const QString name = imageName(anyUnlocked);
    const QString key = name + (darkPanel ? QStringLiteral("-dark") : QStringLiteral("-light")) +
                        (panelSeen ? QString() : QStringLiteral("-ringed"));
    if (const auto found = cache.constFind(key); found != cache.cend())
        return *found;

    const QString resource = QStringLiteral(":/larkhold/app/%1.svg").arg(name);
    // A resource compiled into the program: this asks no disk.
    if (!QFile::exists(resource))
        return Symbols::icon(anyUnlocked ? QStringLiteral("lock.open.fill") : QStringLiteral("lock.fill"));
    const QColor colour = darkPanel ? lightInk : darkInk;
    const std::optional<QColor> rim = panelSeen ? std::nullopt : std::optional<QColor>(darkPanel ? darkInk : lightInk);
    const QIcon icon(new ArtworkEngine(resource, colour, rim));
    cache.insert(key, icon);
    return icon;
}

} // namespace larkhold::MenuBarIcon

void initAppResources() {
    Q_INIT_RESOURCE(app);
}
