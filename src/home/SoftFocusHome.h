#pragma once

#include "DesignCard.h"
#include "HomeContext.h"
#include "HomeModels.h"

#include <QList>
#include <QUuid>
#include <QWidget>

class QHBoxLayout;
class QScrollArea;
class QVBoxLayout;

namespace larkhold {

class Clock;

// One vault of the Soft Focus design: a ring of its usage in the card's position colour, its name
// with soft chips, a line about its size or its missing file, the "⋯" menu and its commands.
class SoftFocusCard : public DesignCard {
    Q_OBJECT

public:
    SoftFocusCard(const Vault& vault, HomeContext context, const Clock& clock, QWidget* parent = nullptr);

    // The list's record and the card's position (which picks its colour).
    void setVault(const Vault& vault, qsizetype position);
    void refresh();

    RingGauge* ring() const { return ring_; }

private:
    void build();

    qsizetype position_ = 0;
    RingGauge* ring_ = nullptr;
    QWidget* ringCenter_ = nullptr;
    SymbolView* sealedLock_ = nullptr;
    QWidget* ringFigures_ = nullptr;
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
    VaultWidgets<SoftFocusCard> cards_;
};

} // namespace larkhold
