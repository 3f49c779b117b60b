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

namespace larkhold::MenuBarIcon {

namespace {

QPixmap drawn(const QString& resource, int size, const QColor& colour) {
    // Through Qt's SVG image plug-in, which brings the SVG library along the first time a tray asks:
    // linked to the program, it would be loaded and bound with every start, tray or not.
    QImageReader reader(resource, "svg");
    reader.setScaledSize(QSize(size, size));
    QImage image = reader.read();
    if (image.isNull())
        return {};
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), colour);
    painter.end();
    return QPixmap::fromImage(std::move(image));
}

// The artwork drawn at the size the tray asks for, when it asks: without a tray it is never drawn,
// and a tray draws it at its one size instead of all of them.
class ArtworkEngine : public QIconEngine {
public:
    ArtworkEngine(QString resource, QColor colour) : resource_(std::move(resource)), colour_(colour) {}

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
        const QPixmap pixmap = drawn(resource_, side, colour_);
        drawn_.insert(side, pixmap);
        return pixmap;
    }

    QString resource_;
    QColor colour_;
    QHash<int, QPixmap> drawn_;
};

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
    // A resource compiled into the program: this asks no disk.
    if (!QFile::exists(resource))
        return Symbols::icon(anyUnlocked ? QStringLiteral("lock.open.fill") : QStringLiteral("lock.fill"));
    const QColor colour = darkPanel ? QColor(0xf2, 0xf2, 0xf2) : QColor(0x1e, 0x1e, 0x1e);
    const QIcon icon(new ArtworkEngine(resource, colour));
    cache.insert(key, icon);
    return icon;
}

} // namespace larkhold::MenuBarIcon

void initAppResources() {
    Q_INIT_RESOURCE(app);
}
