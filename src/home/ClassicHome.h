#pragma once

#include "HomeContext.h"
#include "Theme.h"

#include <QHash>
#include <QList>
#include <QTimer>
#include <QUuid>
#include <QWidget>
#include <memory>

class QScrollArea;
class QSpacerItem;
class QStackedWidget;
class QVBoxLayout;

namespace larkhold {

class VaultCard;

// The default home design: a header with the title, a status line, Lock All and New Vault, then
// either a welcome panel or the list of vault cards.
//
// Until its first frame is out, the home builds only the cards the window has room for (and the
// welcome panel only when there is no vault). The rest of a long list waits below the fold and is
// built as it comes near the view (a page ahead of it; Tab scrolls the list to the card it reaches), all at
// once while a screen reader is listening, or as soon as anyone asks for the cards.
class ClassicHome : public QWidget {
    Q_OBJECT

public:
    explicit ClassicHome(HomeContext context, QWidget* parent = nullptr);
    ~ClassicHome() override;

    ThemeLabel* subtitleLabel() const { return subtitle_; }
    QuietButton* lockAllButton() const { return lockAll_; }
    ProminentButton* newVaultButton() const { return newVault_; }
    // Null while the welcome panel has never been needed.
    ProminentButton* createFirstButton() const { return createFirst_; }
    QMenu* newVaultMenu() const { return newVaultMenu_; }
    bool showsEmptyState() const;
    // Every listed vault's card, built by now if it was still waiting.
    QList<VaultCard*> cards();
    VaultCard* card(const QUuid& id);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildEmptyState();
    QWidget* buildList();
    void syncCards();
    void refreshCard(const QUuid& id);
    void updateHeader();
    // How many cards the window has room for, at the least card height.
    qsizetype cardsForRoom() const;
    // How many of the first cards the view shows or comes to within a page, at the least card height.
    qsizetype cardsForView() const;
    // How many of the first cards are wanted now.
    qsizetype cardsWanted() const;
    void buildWaitingCards();
    // The view moved or grew.
    void viewMoved();

    HomeContext context_;
    ThemeLabel* subtitle_ = nullptr;
    QuietButton* lockAll_ = nullptr;
    ProminentButton* newVault_ = nullptr;
    QMenu* newVaultMenu_ = nullptr;
    ProminentButton* createFirst_ = nullptr;
    QStackedWidget* body_ = nullptr;
    QWidget* emptyState_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* listLayout_ = nullptr;
    // The cards built, and their order: always the first of the listed vaults.
    QHash<QUuid, VaultCard*> cards_;
    QList<QUuid> order_;
    // The vaults listed after those, whose cards wait for the first frame; the spacer keeps their place.
    QList<Vault> waiting_;
    QSpacerItem* waitingRoom_ = nullptr;
    int headerLeast_ = 0;
    bool firstFrameOut_ = false;
    // Every card is wanted (someone asked for them all, or a screen reader listens).
    bool allWanted_ = false;
    // Builds every card once a screen reader starts listening.
    struct ReaderWatch;
    std::unique_ptr<ReaderWatch> readerWatch_;
    // Relative times on the cards age while nothing else changes.
    QTimer ageTimer_;
};

} // namespace larkhold
