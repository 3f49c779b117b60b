#pragma once

#include "HomeContext.h"
#include "Theme.h"

#include <QHash>
#include <QTimer>
#include <QUuid>
#include <QWidget>

class QScrollArea;
class QStackedWidget;
class QVBoxLayout;

namespace larkhold {

class VaultCard;

// The default home design: a header with the title, a status line, Lock All and New Vault, then
// either a welcome panel or the list of vault cards.
class ClassicHome : public QWidget {
    Q_OBJECT

public:
    explicit ClassicHome(HomeContext context, QWidget* parent = nullptr);

    ThemeLabel* subtitleLabel() const { return subtitle_; }
    QuietButton* lockAllButton() const { return lockAll_; }
    ProminentButton* newVaultButton() const { return newVault_; }
    ProminentButton* createFirstButton() const { return createFirst_; }
    QMenu* newVaultMenu() const { return newVaultMenu_; }
    bool showsEmptyState() const;
    QList<VaultCard*> cards() const;
    VaultCard* card(const QUuid& id) const { return cards_.value(id); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildEmptyState();
    QWidget* buildList();
    void syncCards();
    void updateHeader();

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
    QHash<QUuid, VaultCard*> cards_;
    QList<QUuid> order_;
    // Relative times on the cards age while nothing else changes.
    QTimer ageTimer_;
};

} // namespace larkhold
