#pragma once

#include "DesignParts.h"
#include "HomeContext.h"
#include "HomeModels.h"

class QHBoxLayout;
class QVBoxLayout;

namespace larkhold {

class Clock;

// What the Night Watch and Soft Focus cards share: a vault and what it reads as now, its name
// followed by its chips, a meta line under them, the "⋯" menu, the commands for the vault's state
// and the vault's menu on a right-click. Each design lays them out in its own look.
class DesignCard : public Surface {
    Q_OBJECT

public:
    const Vault& vault() const { return vault_; }
    const VaultCardModel& model() const { return model_; }
    ThemeLabel* nameLabel() const { return name_; }
    ThemeLabel* metaLabel() const { return meta_; }
    ThemeLabel* percentLabel() const { return percent_; }
    QStringList chipTexts() const;
    ChipRow* chipRow() const { return chips_; }
    DesignButton* menuButton() const { return menu_; }
    DesignButton* openButton() const { return open_; }
    DesignButton* lockButton() const { return lock_; }
    DesignButton* locateButton() const { return locate_; }
    DesignButton* unlockButton() const { return unlock_; }
    QWidget* progress() const { return spinner_; }

protected:
    DesignCard(const Vault& vault, HomeContext context, const Clock& clock, QWidget* parent);

    struct TextLooks {
        QFont name;
        QColor nameColor;
        int chipSpacing = 8;
        QFont meta;
        QColor metaColor;
    };
    // The name with its chips and the meta line under them, in a column for the card's row.
    QVBoxLayout* buildTexts(const TextLooks& looks);

    struct CommandLooks {
        DesignButton::Look menu;
        DesignButton::Look open;
        DesignButton::Look lock;
        // Locate and Unlock.
        DesignButton::Look offer;
    };
    // The "⋯" menu, the spinner and the commands, at the end of the card's row.
    void addCommands(QHBoxLayout* row, const CommandLooks& looks);

    // Reads the vault again and shows what every card shows alike (the name, the meta line's
    // tooltip for a missing file, the commands); the design shows the rest from what was read.
    DesignVault readAgain();
    // How long ago the vault was last opened ("5 min. ago"), or nothing.
    QString openedAgo() const;

    void contextMenuEvent(QContextMenuEvent* event) override;

    Vault vault_;
    HomeContext context_;
    const Clock& clock_;
    VaultCardModel model_;

    ThemeLabel* percent_ = nullptr;
    ThemeLabel* name_ = nullptr;
    ChipRow* chips_ = nullptr;
    ThemeLabel* meta_ = nullptr;
    DesignButton* menu_ = nullptr;
    BusyIndicator* spinner_ = nullptr;
    DesignButton* open_ = nullptr;
    DesignButton* lock_ = nullptr;
    DesignButton* locate_ = nullptr;
    DesignButton* unlock_ = nullptr;
};

} // namespace larkhold
