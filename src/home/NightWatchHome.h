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
class QLineEdit;
class QScrollArea;
class QVBoxLayout;

namespace larkhold {

class Clock;

// One vault of the Night Watch design: a glowing usage ring, the name with capital-letter chips,
// a monospaced meta line, the "⋯" menu and the commands that fit the vault's state.
class NightWatchCard : public Surface {
    Q_OBJECT

public:
    NightWatchCard(const Vault& vault, HomeContext context, const Clock& clock, QWidget* parent = nullptr);

    const Vault& vault() const { return vault_; }
    void setVault(const Vault& vault);
    void refresh();

    const VaultCardModel& model() const { return model_; }
    GlowRing* ring() const { return ring_; }
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
    VaultCardModel model_;

    GlowRing* ring_ = nullptr;
    QWidget* ringCenter_ = nullptr;
    TintedSymbol* sealedLock_ = nullptr;
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
    QHash<QUuid, NightWatchCard*> cards_;
    QList<QUuid> order_;
    QTimer ageTimer_;
};

} // namespace larkhold
