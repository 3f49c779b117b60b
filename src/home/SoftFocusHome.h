#pragma once

#include "DesignParts.h"
#include "HomeContext.h"
#include "HomeModels.h"

#include <QHash>
#include <QList>
#include <QTimer>
#include <QUuid>
#include <QWidget>

class QHBoxLayout;
class QScrollArea;
class QVBoxLayout;

namespace larkhold {

class Clock;

// One vault of the Soft Focus design: a ring of its usage in the card's position colour, its name
// with soft chips, a line about its size or its missing file, the "⋯" menu and its commands.
class SoftFocusCard : public Surface {
    Q_OBJECT

public:
    SoftFocusCard(const Vault& vault, HomeContext context, const Clock& clock, QWidget* parent = nullptr);

    const Vault& vault() const { return vault_; }
    // The list's record and the card's position (which picks its colour).
    void setVault(const Vault& vault, qsizetype position);
    void refresh();

    const VaultCardModel& model() const { return model_; }
    RingGauge* ring() const { return ring_; }
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
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void build();

    Vault vault_;
    HomeContext context_;
    const Clock& clock_;
    qsizetype position_ = 0;
    VaultCardModel model_;

    RingGauge* ring_ = nullptr;
    QWidget* ringCenter_ = nullptr;
    TintedSymbol* sealedLock_ = nullptr;
    QWidget* ringFigures_ = nullptr;
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

// The light, card-based home design: a greeting by the time of day, a one-line status of the
// vaults, a ring card per vault, a dashed zone to start a new vault and a footer of summary chips.
class SoftFocusHome : public QWidget {
    Q_OBJECT

public:
    // `clock` (the wall clock when null) must outlive the design.
    explicit SoftFocusHome(HomeContext context, QWidget* parent = nullptr, const Clock* clock = nullptr);
    ~SoftFocusHome() override;

    ThemeLabel* greetingLabel() const { return greeting_; }
    ThemeLabel* statusLabel() const { return status_; }
    DesignButton* newVaultButton() const { return newVault_; }
    DesignButton* newVaultZone() const { return zone_; }
    DesignButton* lockAllButton() const { return lockAll_; }
    QList<DesignChip*> footerChips() const;
    QList<SoftFocusCard*> cards() const;
    SoftFocusCard* card(const QUuid& id) const { return cards_.value(id); }
    QScrollArea* scrollArea() const { return scroll_; }

    // Reads the store and the clock again (the store's signals call it).
    void refresh();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildList();
    QWidget* buildFooter();
    void syncCards();
    void updateTexts();

    HomeContext context_;
    const Clock& clock_;
    ThemeLabel* greeting_ = nullptr;
    ThemeLabel* status_ = nullptr;
    DesignButton* newVault_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* list_ = nullptr;
    DesignButton* zone_ = nullptr;
    DesignChip* openChip_ = nullptr;
    DesignChip* totalChip_ = nullptr;
    DesignChip* cloudChip_ = nullptr;
    DesignButton* lockAll_ = nullptr;
    QHash<QUuid, SoftFocusCard*> cards_;
    QList<QUuid> order_;
    // The greeting and the relative times age while nothing else changes.
    QTimer ageTimer_;
};

} // namespace larkhold
