#include "SheetHeader.h"

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <optional>

namespace larkhold {

SheetHeader::SheetHeader(const QString& icon, const QString& title, std::optional<QString> subtitle, QWidget* parent)
    : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    tile_ = new IconTile(icon, GradientKind::accent, 38, this);
    row->addWidget(tile_, 0, Qt::AlignVCenter);

    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    column->setContentsMargins(0, 0, 0, 0);
    title_ = new ThemeLabel(title, this);
    title_->setObjectName(QStringLiteral("sheetTitle"));
    title_->setFont(Theme::font(17, QFont::Bold, Theme::FontDesign::rounded));
    column->addWidget(title_);
    if (subtitle) {
        subtitle_ = new ThemeLabel(*subtitle, this);
        subtitle_->setObjectName(QStringLiteral("sheetSubtitle"));
        subtitle_->setFont(Theme::font(12));
        subtitle_->setTone(ThemeLabel::Tone::secondary);
        column->addWidget(subtitle_);
    }
    row->addLayout(column, 0);
    row->addStretch(1);
    row->setAlignment(column, Qt::AlignVCenter);
}

} // namespace larkhold
