#pragma once

#include "HomeContext.h"
#include "HomeModels.h"
#include "Theme.h"
#include "Tween.h"

#include <QWidget>

class QHBoxLayout;

namespace larkhold {

// One vault in the Classic home: its state at a glance, how full it is, whether its file can be
// found, its flags, and the commands that fit its state. Right-click opens the vault's menu.
// Everything shown comes from VaultCardModel; the card only lays it out and paints its surface.
class VaultCard : public QWidget {
    Q_OBJECT

public:
    // Room around the painted card for its shadow.
    static constexpr int kShadowPad = 4;
    // The least height a card takes, whatever it shows: its tile and the margins around it.
    static int leastHeight();

    VaultCard(const Vault& vault, HomeContext context, QWidget* parent = nullptr);

    const Vault& vault() const { return vault_; }
    // The list's record changed (renamed, moved, flags).
    void setVault(const Vault& vault);
    // Reads the store and the file-state cache again; a card whose vault shows as before changes
    // nothing, so that nothing is laid out or painted again.
    void refresh();
    // How often the card has read its vault's state, and how often that changed what it shows.
    quint64 reads() const { return reads_; }
    quint64 changesShown() const { return changesShown_; }
    const VaultCardModel& model() const { return model_; }

    ThemeLabel* nameLabel() const { return name_; }
    ThemeLabel* captionLabel() const { return caption_; }
    CapacityBar* bar() const { return bar_; }
    CapsuleBadge* badge() const { return badge_; }
    IconTile* tile() const { return tile_; }
    qreal hoverProgress() const { return hover_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void build();
    void read(bool vaultChanged);
    void apply();

    Vault vault_;
    HomeContext context_;
    VaultCardModel model_;

    IconTile* tile_ = nullptr;
    ThemeLabel* name_ = nullptr;
    SymbolView* openIcon_ = nullptr;
    SymbolView* cloudIcon_ = nullptr;
    SymbolView* ownerIcon_ = nullptr;
    CapsuleBadge* badge_ = nullptr;
    QWidget* usage_ = nullptr;
    CapacityBar* bar_ = nullptr;
    ThemeLabel* caption_ = nullptr;
    QWidget* missing_ = nullptr;
    SymbolView* missingIcon_ = nullptr;
    ThemeLabel* missingText_ = nullptr;
    BusyIndicator* spinner_ = nullptr;
    QuietButton* settingsButton_ = nullptr;
    QuietButton* openButton_ = nullptr;
    ProminentButton* lockButton_ = nullptr;
    ProminentButton* locateButton_ = nullptr;
    ProminentButton* unlockButton_ = nullptr;

    quint64 reads_ = 0;
    quint64 changesShown_ = 0;
    qreal hover_ = 0;
    qreal openness_ = 0;
    Tween hoverAnimation_;
    Tween stateAnimation_;
};

} // namespace larkhold
