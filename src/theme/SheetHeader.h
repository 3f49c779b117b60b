#pragma once

#include "IconTile.h"
#include "Labels.h"

#include <QWidget>
#include <optional>

namespace larkhold {

// The title row at the top of sheets and settings: an accent tile, a title and an optional subtitle.
class SheetHeader : public QWidget {
    Q_OBJECT

public:
    SheetHeader(const QString& icon, const QString& title, std::optional<QString> subtitle = std::nullopt,
                QWidget* parent = nullptr);

    IconTile* tile() const { return tile_; }
    ThemeLabel* titleLabel() const { return title_; }
    // Null without a subtitle.
    ThemeLabel* subtitleLabel() const { return subtitle_; }

private:
    IconTile* tile_;
    ThemeLabel* title_;
    ThemeLabel* subtitle_ = nullptr;
};

} // namespace larkhold
