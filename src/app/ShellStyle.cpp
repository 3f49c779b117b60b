#include "ShellStyle.h"

#include <QIconEngine>
#include <QPainter>
#include <QPointer>
#include <optional>

namespace larkhold {

namespace {

// An icon made by the style that is followed, at its first use.
class DeferredIconEngine : public QIconEngine {
public:
    DeferredIconEngine(QPointer<QStyle> style, QStyle::StandardPixmap which)
        : style_(std::move(style)), which_(which) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
        return icon().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return icon().availableSizes(mode, state);
    }
    QString key() const override { return QStringLiteral("larkhold.deferred"); }
    QIconEngine* clone() const override {
        auto* copy = new DeferredIconEngine(style_, which_);
        copy->icon_ = icon_;
        return copy;
    }

private:
    const QIcon& icon() {
        if (!icon_)
            icon_ = style_ ? style_->standardIcon(which_) : QIcon();
        return *icon_;
    }

    QPointer<QStyle> style_;
    QStyle::StandardPixmap which_;
    std::optional<QIcon> icon_;
};

} // namespace

ShellStyle::ShellStyle(const QString& key) : QProxyStyle(key) {}

QIcon ShellStyle::standardIcon(StandardPixmap icon, const QStyleOption* option, const QWidget* widget) const {
    if (icon == SP_ToolBarHorizontalExtensionButton || icon == SP_ToolBarVerticalExtensionButton)
        return QIcon(new DeferredIconEngine(QPointer<QStyle>(baseStyle()), icon));
    return QProxyStyle::standardIcon(icon, option, widget);
}

} // namespace larkhold
