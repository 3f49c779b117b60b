#pragma once

#include "DesignParts.h"
#include "HomeContext.h"
#include "NativeProHomeState.h"

#include <QAbstractButton>
#include <QList>
#include <QPointer>
#include <QUuid>
#include <QWidget>

class QLineEdit;
class QScrollArea;
class QVBoxLayout;

namespace larkhold {

class Clock;
class NativeProDetailPane;
class VaultStatusCache;

// One vault in the Native Pro sidebar: a small ring, the name and its size. A click selects it;
// right-click opens the vault's menu.
class NativeProSidebarRow : public QAbstractButton {
    Q_OBJECT

public:
    NativeProSidebarRow(const Vault& vault, HomeContext context, QWidget* parent = nullptr);

    const Vault& vault() const { return vault_; }
    void setVault(const Vault& vault);
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    void refresh();

    RingGauge* ring() const { return ring_; }
    ThemeLabel* nameLabel() const { return name_; }
    ThemeLabel* sizeLabel() const { return size_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    Vault vault_;
    HomeContext context_;
    bool selected_ = false;
    RingGauge* ring_ = nullptr;
    SymbolView* sealedLock_ = nullptr;
    ThemeLabel* name_ = nullptr;
    ThemeLabel* size_ = nullptr;
};

// The summary card's bar: one segment per vault in proportion to its bytes, then a filler.
class NativeProUsageBar : public QWidget {
    Q_OBJECT

public:
    explicit NativeProUsageBar(QWidget* parent = nullptr);
    void setSizes(QList<qint64> sizes);
    // The widths the segments get at the bar's current width.
    QList<qreal> segmentWidths() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<qint64> sizes_;
};

// The two-pane home design: a sidebar that lists the vaults under a search field, with a storage
// summary and "New Vault" at its foot, and a pane with the selected vault in detail.
class NativeProHome : public QWidget {
    Q_OBJECT

public:
    static constexpr int kSidebarWidth = 218;

    // `clock` (the wall clock when null) must outlive the design.
    explicit NativeProHome(HomeContext context, QWidget* parent = nullptr, const Clock* clock = nullptr);
    ~NativeProHome() override;

    QLineEdit* searchField() const { return search_; }
    // The rows shown (those the search lets through), in list order.
    QList<NativeProSidebarRow*> rows() const;
    NativeProSidebarRow* row(const QUuid& id) const { return rows_.value(id); }
    QScrollArea* sidebarList() const { return scroll_; }
    ThemeLabel* totalLabel() const { return total_; }
    ThemeLabel* summaryLabel() const { return summary_; }
    NativeProUsageBar* usageBar() const { return bar_; }
    DesignButton* newVaultButton() const { return newVault_; }
    NativeProDetailPane* detailPane() const { return detail_; }
    const NativeProSelection& selection() const { return selection_; }

    void refresh();

signals:
    // The detail pane's "Settings" link; the window's Ctrl+, command is triggered with it.
    void settingsRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildSidebar();
    void syncRows();
    void updateSummary();
    void vaultsChanged();
    void openSettings();

    HomeContext context_;
    // The window's cache may go before its design does.
    QPointer<VaultStatusCache> status_;
    const Clock& clock_;
    NativeProSelection selection_;
    QLineEdit* search_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* rowList_ = nullptr;
    ThemeLabel* total_ = nullptr;
    NativeProUsageBar* bar_ = nullptr;
    ThemeLabel* summary_ = nullptr;
    DesignButton* newVault_ = nullptr;
    NativeProDetailPane* detail_ = nullptr;
    VaultWidgets<NativeProSidebarRow> rows_;
};

} // namespace larkhold
