#pragma once

#include "Look.h"

#include <QLabel>
#include <optional>

namespace larkhold {

// A label in one of the kit's tones that keeps its colour across scheme changes and can elide
// instead of growing: a name elided in the middle never pushes the controls beside it away.
class ThemeLabel : public QLabel {
    Q_OBJECT

public:
    enum class Tone { primary, secondary, green, orange, white };

    explicit ThemeLabel(const QString& text = {}, QWidget* parent = nullptr);

    void setTone(Tone tone);
    Tone tone() const { return tone_; }
    // Qt::ElideNone (the default) shows the text whole; any other mode lets the label shrink.
    void setElideMode(Qt::TextElideMode mode);
    Qt::TextElideMode elideMode() const { return elideMode_; }
    // Whether the text is cut at the current width. A cut text shows whole in the label's tooltip
    // unless it has a tooltip of its own.
    bool isElided() const;

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    Tone tone_ = Tone::primary;
    Qt::TextElideMode elideMode_ = Qt::ElideNone;
};

// A symbol at a pixel size, in one of the label tones (the small icons after a vault's name) or in a
// fixed colour of a design.
class SymbolView : public QWidget {
    Q_OBJECT

public:
    SymbolView(const QString& symbol, int pixelSize, ThemeLabel::Tone tone, QWidget* parent = nullptr);
    SymbolView(const QString& symbol, int pixelSize, const QColor& color, QWidget* parent = nullptr);

    QString symbol() const { return symbol_; }
    ThemeLabel::Tone tone() const { return tone_; }
    int pixelSize() const { return px_; }
    void setSymbol(const QString& symbol);
    // A fixed colour in place of the tone.
    void setColor(const QColor& color);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    int px_;
    ThemeLabel::Tone tone_ = ThemeLabel::Tone::primary;
    std::optional<QColor> color_;
};

} // namespace larkhold
