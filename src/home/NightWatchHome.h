#pragma once

#include "DesignCard.h"
#include "HomeContext.h"
#include "HomeModels.h"

#include <QList>
#include <QUuid>
#include <QWidget>

class QHBoxLayout;
class QLineEdit;
class QScrollArea;
class QVBoxLayout;

namespace larkhold {

class Clock;

// One vault of the Night Watch design: a glowing usage ring, the name with capital-letter chips,
// a monospaced meta line, the "⋯" menu and the commands that fit the vault's state.
class NightWatchCard : public DesignCard {
    Q_OBJECT

public:
    NightWatchCard(const Vault& vault, HomeContext context, const Clock& clock, QWidget* parent = nullptr);

    void setVault(const Vault& vault);
    void refresh();

    GlowRing* ring() const { return ring_; }

private:
    void build();

    GlowRing* ring_ = nullptr;
    QWidget* ringCenter_ = nullptr;
    SymbolView* sealedLock_ = nullptr;
};

// The dark, console-like home design: the status in a headline and a monospaced line, a card per
// vault, the latest activity, and a command bar whose search filters the cards (Ctrl+K).
class NightWatchHome : public QWidget {
    Q_OBJECT

public:
    // `clock` (the wall clock when null) must outlive the design.
    explicit NightWatchHome(HomeContext context, QWidget* parent = nullptr, const Clock* clock = nullptr);
    ~NightWatchHome() override;

    ThemeLabel* headlineLabel() const { return headline_; }
    ThemeLabel* summaryLabel() const { return summary_; }
    DesignButton* lockAllButton() const { return lockAll_; }
    DesignButton* newVaultButton() const { return newVault_; }
    QLineEdit* searchField() const { return search_; }
    QWidget* emptyState() const { return empty_; }
    QWidget* activityPanel() const { return activity_; }
    QStringList activityLines() const;
    // The cards shown (those the search lets through), in list order.
    QList<NightWatchCard*> cards() const;
    NightWatchCard* card(const QUuid& id) const { return cards_.value(id); }
    QScrollArea* scrollArea() const { return scroll_; }

    void refresh();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildList();
    QWidget* buildCommandBar();
    void syncCards();
    void updateHeader();
    void updateActivity();

    HomeContext context_;
    const Clock& clock_;
    ThemeLabel* headline_ = nullptr;
    ThemeLabel* summary_ = nullptr;
    DesignButton* lockAll_ = nullptr;
    DesignButton* newVault_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* list_ = nullptr;
    QWidget* empty_ = nullptr;
    Surface* activity_ = nullptr;
    QVBoxLayout* activityLines_ = nullptr;
    QLineEdit* search_ = nullptr;
    VaultWidgets<NightWatchCard> cards_;
};

} // namespace larkhold
