#include "Symbols.h"

#include <QFile>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPixmapCache>

static void initThemeResources() {
    Q_INIT_RESOURCE(theme);
}

namespace larkhold::Symbols {

namespace {

struct Entry {
    QStringList themeNames; // freedesktop names, best first; empty where no theme has a faithful glyph
};

// One row per symbol the windows use. Theme names follow the freedesktop icon naming rules
// and the symbolic names of Adwaita and Breeze, the icon themes Debian ships.
const QHash<QString, Entry>& table() {
    static const QHash<QString, Entry> map = [] {
        auto names = [](std::initializer_list<const char*> list) {
            QStringList out;
            for (const char* n : list)
                out.append(QString::fromLatin1(n));
            return Entry{out};
        };
        QHash<QString, Entry> m;
        m.insert(QStringLiteral("lock.fill"), names({"changes-prevent-symbolic", "object-locked"}));
        m.insert(QStringLiteral("lock.open.fill"), names({"changes-allow-symbolic", "object-unlocked"}));
        m.insert(QStringLiteral("key.fill"), names({"dialog-password-symbolic", "dialog-password"}));
        m.insert(QStringLiteral("key.horizontal.fill"), names({"dialog-password-symbolic", "dialog-password"}));
        m.insert(QStringLiteral("key.2.on.ring.fill"), names({}));
        m.insert(QStringLiteral("plus"), names({"list-add-symbolic", "list-add"}));
        m.insert(QStringLiteral("plus.circle.fill"), names({}));
        m.insert(QStringLiteral("plus.square.fill"), names({}));
        m.insert(QStringLiteral("plus.rectangle.on.folder.fill"), names({"folder-new-symbolic", "folder-new"}));
        m.insert(QStringLiteral("gearshape"), names({"emblem-system-symbolic", "configure"}));
        m.insert(QStringLiteral("gearshape.fill"), names({"emblem-system-symbolic", "configure"}));
        m.insert(QStringLiteral("icloud.slash"), names({}));
        m.insert(QStringLiteral("icloud.slash.fill"), names({}));
        m.insert(QStringLiteral("touchid"), names({"auth-fingerprint-symbolic"}));
        m.insert(QStringLiteral("externaldrive.badge.questionmark"), names({}));
        m.insert(QStringLiteral("exclamationmark.triangle.fill"), names({"dialog-warning-symbolic", "dialog-warning"}));
        m.insert(QStringLiteral("exclamationmark.triangle"), names({}));
        m.insert(QStringLiteral("icloud.and.arrow.up"), names({}));
        m.insert(QStringLiteral("arrow.triangle.2.circlepath.icloud"), names({}));
        m.insert(QStringLiteral("xmark.circle.fill"), names({}));
        m.insert(QStringLiteral("folder"), names({"folder-symbolic", "folder"}));
        m.insert(QStringLiteral("folder.badge.questionmark"), names({}));
        m.insert(QStringLiteral("magnifyingglass"), names({"edit-find-symbolic", "edit-find"}));
        m.insert(QStringLiteral("note.text"), names({"text-x-generic-symbolic", "text-x-generic"}));
        m.insert(QStringLiteral("doc.richtext"), names({"x-office-document-symbolic", "x-office-document"}));
        m.insert(QStringLiteral("doc"), names({"x-office-document-symbolic", "x-office-document"}));
        m.insert(QStringLiteral("lock.doc.fill"), names({}));
        m.insert(QStringLiteral("photo"), names({"image-x-generic-symbolic", "image-x-generic"}));
        m.insert(QStringLiteral("square.and.arrow.up"), names({"document-send-symbolic", "document-export"}));
        m.insert(QStringLiteral("square.and.pencil"), names({"document-edit-symbolic", "document-edit"}));
        m.insert(QStringLiteral("trash"), names({"user-trash-symbolic", "user-trash"}));
        m.insert(QStringLiteral("trash.fill"), names({"user-trash-symbolic", "user-trash"}));
        m.insert(QStringLiteral("trash.slash.fill"), names({}));
        m.insert(QStringLiteral("xmark"), names({"window-close-symbolic", "window-close"}));
        m.insert(QStringLiteral("checkmark.circle.fill"), names({"emblem-ok-symbolic", "emblem-default-symbolic"}));
        m.insert(QStringLiteral("checkmark.seal.fill"), names({}));
        m.insert(QStringLiteral("info.circle"), names({"dialog-information-symbolic", "dialog-information"}));
        m.insert(QStringLiteral("arrow.down.circle.fill"), names({}));
        m.insert(QStringLiteral("arrow.down.right.circle.fill"), names({}));
        m.insert(QStringLiteral("arrow.up.right.circle.fill"), names({}));
        m.insert(QStringLiteral("pencil.circle.fill"), names({}));
        m.insert(QStringLiteral("power"), names({"system-shutdown-symbolic", "system-shutdown"}));
        m.insert(QStringLiteral("sparkles"), names({}));
        m.insert(QStringLiteral("tray.and.arrow.down.fill"), names({}));
        m.insert(QStringLiteral("macwindow"), names({"window-new-symbolic"}));
        m.insert(QStringLiteral("desktopcomputer"), names({"computer-symbolic", "computer"}));
        m.insert(QStringLiteral("menubar.rectangle"), names({}));
        m.insert(QStringLiteral("dock.rectangle"), names({}));
        m.insert(QStringLiteral("eye.fill"), names({"view-reveal-symbolic"}));
        m.insert(QStringLiteral("hare.fill"), names({}));
        m.insert(QStringLiteral("lock.rotation"), names({}));
        m.insert(QStringLiteral("lock.shield.fill"), names({"security-high-symbolic"}));
        m.insert(QStringLiteral("location.slash.fill"), names({}));
        m.insert(QStringLiteral("moon.zzz.fill"), names({}));
        m.insert(QStringLiteral("paintpalette.fill"), names({"preferences-desktop-appearance-symbolic"}));
        m.insert(QStringLiteral("ruler.fill"), names({}));
        m.insert(QStringLiteral("text.bubble.fill"), names({}));
        m.insert(QStringLiteral("chart.pie.fill"), names({}));
        m.insert(QStringLiteral("building.2.fill"), names({}));
        m.insert(QStringLiteral("chevron.down"), names({"pan-down-symbolic", "go-down"}));
        m.insert(QStringLiteral("questionmark"), names({"dialog-question-symbolic"}));
        return m;
    }();
    return map;
}

QString placeholderPath() {
    return QStringLiteral(":/larkhold/symbols/questionmark.svg");
}

// The theme's icon for the symbol, or null when the theme has none of the names.
QIcon themeIcon(const QString& symbolName) {
    const auto found = table().constFind(symbolName);
    if (found == table().cend())
        return {};
    for (const QString& name : found->themeNames) {
        if (QIcon::hasThemeIcon(name))
            return QIcon::fromTheme(name);
    }
    return {};
}

} // namespace

void loadBundledResources() {
    static const bool done = [] {
        initThemeResources();
        return true;
    }();
    (void)done;
}

QStringList themeNames(const QString& symbolName) {
    const auto found = table().constFind(symbolName);
    return found == table().cend() ? QStringList() : found->themeNames;
}

QString fallbackPath(const QString& symbolName) {
    if (!table().contains(symbolName))
        return {};
    return QStringLiteral(":/larkhold/symbols/%1.svg").arg(symbolName);
}

QStringList knownSymbols() {
    QStringList names = table().keys();
    names.sort();
    return names;
}

namespace {

// The bundled glyph of a symbol, or the placeholder.
QIcon bundledIcon(const QString& symbolName) {
    const QString path = fallbackPath(symbolName);
    return QIcon(path.isEmpty() || !QFile::exists(path) ? placeholderPath() : path);
}

} // namespace

QIcon icon(const QString& symbolName) {
    loadBundledResources();
    const QIcon fromTheme = themeIcon(symbolName);
    return fromTheme.isNull() ? bundledIcon(symbolName) : fromTheme;
}

QPixmap pixmap(const QString& symbolName, int pixelSize, const QColor& color, qreal devicePixelRatio) {
    loadBundledResources();
    const int side = qMax(1, qRound(pixelSize * devicePixelRatio));
    // Glyphs are painted at every redraw (a pressed button's animation, a list's rows): each is
    // rendered and tinted once.
    const QString key = QStringLiteral("larkhold.symbol/%1/%2/%3/%4/%5")
                            .arg(symbolName, QIcon::themeName())
                            .arg(side)
                            .arg(color.rgba(), 8, 16, QLatin1Char('0'))
                            .arg(devicePixelRatio);
    QPixmap result;
    if (QPixmapCache::find(key, &result))
        return result;

    const QIcon fromTheme = themeIcon(symbolName);
    const bool bundled = fromTheme.isNull();
    const QIcon source = bundled ? bundledIcon(symbolName) : fromTheme;

    QImage image = source.pixmap(QSize(side, side), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
    if (image.size() != QSize(side, side))
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    // The bundled glyphs are black ink with white cut-outs; theme icons are one-colour shapes.
    // Either way only the ink keeps its coverage, in the requested colour.
    QImage tinted(image.size(), QImage::Format_ARGB32);
    const QRgb rgb = color.rgb();
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        QRgb* out = reinterpret_cast<QRgb*>(tinted.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            int coverage = qAlpha(in[x]);
            if (bundled)
                coverage = coverage * (255 - qGray(in[x])) / 255;
            coverage = coverage * color.alpha() / 255;
            out[x] = qRgba(qRed(rgb), qGreen(rgb), qBlue(rgb), coverage);
        }
    }
    result = QPixmap::fromImage(tinted);
    result.setDevicePixelRatio(devicePixelRatio);
    QPixmapCache::insert(key, result);
    return result;
}

} // namespace larkhold::Symbols
