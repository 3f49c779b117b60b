#pragma once

#include "DesignParts.h"
#include "HomeContext.h"
#include "HomeModels.h"

#include <QPushButton>
#include <QWidget>
#include <optional>

class QHBoxLayout;
class QStackedWidget;

namespace larkhold {

class Clock;

// The right-hand pane of the Native Pro design: the selected vault with its chips, a large usage
// ring, its state in words, the buttons that apply to it, and a footer with the auto-lock caption
// and "Lock All". Without a vault it invites the user to create one.
class NativeProDetailPane : public QWidget {
    Q_OBJECT

public:
    NativeProDetailPane(HomeContext context, const Clock& clock, QWidget* parent = nullptr);
    ~NativeProDetailPane() override;

    // The vault to show, or none for the empty state; reads the store again.
    void showVault(const std::optional<Vault>& vault);
    const std::optional<Vault>& shownVault() const { return vault_; }
    void refresh();

    bool showsEmptyState() const;
    ThemeLabel* nameLabel() const { return name_; }
    QStringList chipTexts() const;
    RingGauge* ring() const { return ring_; }
    ThemeLabel* ringFigureLabel() const { return figure_; }
    ThemeLabel* ringCaptionLabel() const { return caption_; }
    ThemeLabel* stateLabel() const { return state_; }
    ThemeLabel* lastOpenedLabel() const { return lastOpened_; }
    ThemeLabel* autoLockLabel() const { return autoLock_; }
    QuietButton* settingsButton() const { return settings_; }
    QuietButton* openButton() const { return open_; }
    DesignButton* lockButton() const { return lock_; }
    DesignButton* locateButton() const { return locate_; }
    DesignButton* unlockButton() const { return unlock_; }
    DesignButton* usePasswordButton() const { return usePassword_; }
    QWidget* progress() const { return spinner_; }
    QuietButton* lockAllButton() const { return lockAll_; }
    ProminentButton* createFirstButton() const { return createFirst_; }

signals:
    // The header's "Settings" link: the application's settings window.
    void settingsRequested();

private:
    QWidget* buildEmptyState();
    QWidget* buildDetail();

    HomeContext context_;
    const Clock& clock_;
    std::optional<Vault> vault_;

    QStackedWidget* stack_ = nullptr;
    QWidget* empty_ = nullptr;
    QWidget* detail_ = nullptr;
    ProminentButton* createFirst_ = nullptr;

    ThemeLabel* name_ = nullptr;
    ChipRow* chips_ = nullptr;
    QuietButton* settings_ = nullptr;
    RingGauge* ring_ = nullptr;
    SymbolView* ringSymbol_ = nullptr;
    ThemeLabel* figure_ = nullptr;
    ThemeLabel* caption_ = nullptr;
    ThemeLabel* state_ = nullptr;
    ThemeLabel* lastOpened_ = nullptr;
    BusyIndicator* spinner_ = nullptr;
    QuietButton* open_ = nullptr;
    DesignButton* lock_ = nullptr;
    DesignButton* locate_ = nullptr;
    DesignButton* unlock_ = nullptr;
    DesignButton* usePassword_ = nullptr;
    ThemeLabel* autoLock_ = nullptr;
    QuietButton* lockAll_ = nullptr;
};

} // namespace larkhold
