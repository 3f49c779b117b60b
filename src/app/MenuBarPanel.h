#pragma once

#include "MenuBarModel.h"
#include "ShellActions.h"

#include <QColor>
#include <QFrame>
#include <QPushButton>

class QLabel;
class QVBoxLayout;

namespace larkhold {

class Defaults;
class VaultStatusCache;
class VaultStore;

// The accent of the panel for the stored home design; any unknown value reads as classic.
QColor panelAccent(const QString& themeRaw);
// The colour scheme the panel asks for: light or dark, or nothing to follow the desktop.
std::optional<bool> panelWantsDark(const QString& themeRaw);

// A small capsule text button of the panel: filled with the accent, or tinted with it.
class MiniButton : public QPushButton {
    Q_OBJECT

public:
    MiniButton(const QString& title, bool filled, QColor accent, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    bool filled_;
    QColor accent_;
};

// The compact tray panel: a header with "Lock All", one row per vault with a gauge and the buttons that fit its
// state, and a footer with the new-vault menu and the window buttons. It holds no state: it is rebuilt from the
// store and the design setting whenever either changes while it shows. Where each vault's file is comes from the status
// cache: building the panel never looks at a file.
class MenuBarPanel : public QFrame {
    Q_OBJECT

public:
    static constexpr int kWidth = 300;

    // Without a status cache the panel keeps one of its own.
    MenuBarPanel(VaultStore& store, Defaults& defaults, ShellActions actions, VaultStatusCache* status = nullptr,
                 QWidget* parent = nullptr);

    // Shows the panel below (or above) the tray icon's rectangle, inside the screen; at the cursor when the tray
    // gives no rectangle.
    void showNextTo(const QRect& anchor);
    // Builds the content again from the store, as showing does.
    void rebuild();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* header(const PanelContent& content);
    QWidget* row(const PanelRow& row);
    QWidget* footer();
    void scheduleRebuild();
    QString themeRaw() const;

    VaultStore& store_;
    Defaults& defaults_;
    ShellActions actions_;
    VaultStatusCache* status_;
    QVBoxLayout* layout_ = nullptr;
    // The design setting as the last rebuild read it; painting goes by it.
    QString theme_;
    QColor accent_;
    bool rebuildPending_ = false;
};

} // namespace larkhold
