#include "MainWindow.h"

#include "ClassicHome.h"
#include "ColorScheme.h"
#include "Defaults.h"
#include "Dialogs.h"
#include "FileLook.h"
#include "Glossary.h"
#include "NativeProHome.h"
#include "NightWatchHome.h"
#include "OwnerCheck.h"
#include "SettingsKeys.h"
#include "SheetFactory.h"
#include "SoftFocusHome.h"
#include "VaultFileLocation.h"
#include "VaultStatusCache.h"
#include "VaultStore.h"

#include <QCoroFuture>
#include <QDialog>
#include <QMessageBox>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

namespace larkhold {

namespace {

// Reclaims free space, or fails at once when the store is gone.
QCoro::Task<StoreOutcome> compactOutcome(QPointer<VaultStore> store, Vault vault, QString password) {
    if (!store)
        co_return StoreOutcome::failure(QString());
    auto compacting = store->compact(std::move(vault), std::move(password));
    const StoreOutcome outcome = co_await compacting;
    co_return outcome;
}

} // namespace

MainWindow::MainWindow(HomeDeps deps, QWidget* parent)
    : QMainWindow(parent), deps_(deps), status_(new VaultStatusCache(*deps.store, deps.secrets, this)) {
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QStringLiteral("Larkhold"));
    actions_ = buildActions();
    context_ = HomeContext{deps_.store, deps_.defaults, status_, actions_};
    applyDesign();

    VaultStore* store = deps_.store;
    connect(store, &VaultStore::errorMessageChanged, this, &MainWindow::showErrorIfAny);
    // A turn later: a caller that asks for the password itself (the tray's unlock window) takes the
    // request back in the same turn, and then no second prompt shows here.
    connect(store, &VaultStore::passwordPromptVaultChanged, this, &MainWindow::showPasswordPrompt,
            Qt::QueuedConnection);
    connect(store, &VaultStore::newVaultRequestedChanged, this, [this] {
        if (isVisible())
            takeNewVaultRequest();
    });
    if (deps_.defaults) {
        connect(deps_.defaults, &Defaults::changed, this, [this](const QString& key) {
            if (key == SettingsKeys::appTheme.name)
                applyDesign();
        });
    }
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::createDesign(AppTheme design, const HomeContext& context, QWidget* parent) {
    switch (design) {
    case AppTheme::classic:
        break;
    case AppTheme::nativePro:
        return new NativeProHome(context, parent);
    case AppTheme::nightWatch:
        return new NightWatchHome(context, parent);
    case AppTheme::softFocus:
        return new SoftFocusHome(context, parent);
    }
    return new ClassicHome(context, parent);
}

// ---- design, size, colour scheme ----

void MainWindow::applyDesign() {
    const QString raw = deps_.defaults ? deps_.defaults->stringValue(SettingsKeys::appTheme)
                                       : SettingsKeys::appTheme.defaultValue.toString();
    spec_ = homeDesignSpec(raw);
    if (!isVisible()) {
        // The first show takes this size; taken before the design is built, which fills what it has room for.
        resize(spec_.target);
        appliedTarget_ = spec_.target;
    }
    if (shownDesign_ != spec_.design || !design_) {
        QWidget* next = createDesign(spec_.design, context_, this);
        setCentralWidget(next); // deletes the previous design
        design_ = next;
        shownDesign_ = spec_.design;
    }
    design_->setMinimumSize(spec_.minimum);

    switch (spec_.scheme) {
    case SchemePreference::system:
        setPalette(QPalette()); // back to the application's, which follows the desktop
        break;
    case SchemePreference::light:
        setPalette(ColorScheme::palette(false));
        break;
    case SchemePreference::dark:
        setPalette(ColorScheme::palette(true));
        break;
    }
    // The menu bar takes the application's menu-bar palette unless told otherwise; it belongs to the
    // design's window and follows its scheme.
    if (QWidget* bar = menuWidget())
        bar->setPalette(palette());

    if (isVisible() && appliedTarget_ != spec_.target)
        QTimer::singleShot(0, this, &MainWindow::applyTargetSize);
}

void MainWindow::applyTargetSize() {
    if (!isVisible() || appliedTarget_ == spec_.target)
        return;
    // Qt keeps the top-left corner where it is.
    resize(spec_.target);
    appliedTarget_ = spec_.target;
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    if (appliedTarget_ != spec_.target)
        QTimer::singleShot(0, this, &MainWindow::applyTargetSize);
    // A menu bar added after the design was chosen has not taken its scheme yet.
    if (QWidget* bar = menuWidget())
        bar->setPalette(palette());
    status_->refresh();
    if (deps_.refreshOnShow)
        startTask();
    // Requests made while the window was closed are acted on now.
    takeNewVaultRequest();
    showPasswordPrompt();
    showNextSheet();
    showErrorIfAny();
}

void MainWindow::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    // Closed, not minimised: the next show sizes the window for its design again.
    if (!event->spontaneous())
        appliedTarget_.reset();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        status_->refresh();
        // The window is blocked while its sheet is up: typing belongs to the sheet.
        if (sheet_ && sheet_->isVisible() && !sheet_->findChild<QDialog*>())
            QTimer::singleShot(0, this, [this] {
                if (sheet_ && sheet_->isVisible() && isActiveWindow())
                    sheet_->activateWindow();
            });
    }
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    // The window manager places a window only once it is shown, after a sheet opened with it took its
    // place: the sheet follows its window.
    placeSheet();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    placeSheet();
}

void MainWindow::placeSheet() {
    if (!sheet_ || !sheet_->isVisible() || !isVisible())
        return;
    // Centred across the window, hanging from the top of its content, and whole on the screen.
    QRect sheet = sheet_->frameGeometry();
    sheet.moveTopLeft(QPoint(frameGeometry().center().x() - sheet.width() / 2, geometry().top()));
    if (const QScreen* shownOn = screen()) {
        const QRect room = shownOn->availableGeometry();
        sheet.moveTop(std::max(room.top(), std::min(sheet.top(), room.bottom() + 1 - sheet.height())));
        sheet.moveLeft(std::max(room.left(), std::min(sheet.left(), room.right() + 1 - sheet.width())));
    }
    sheet_->move(sheet.topLeft());
}

// ---- the action table ----

VaultActions MainWindow::buildActions() {
    QPointer<MainWindow> self(this);
    VaultStore* store = deps_.store;
    QPointer<VaultStore> storeGuard(store);
    auto sheet = [self](QDialog* (SheetFactory::*make)(QWidget*, const Vault&)) {
        return [self, make](const Vault& vault) {
            if (!self)
                return;
            self->presentSheet({[self, make, vault](QWidget* parent) -> QDialog* {
                                    return self->deps_.sheets ? (self->deps_.sheets->*make)(parent, vault) : nullptr;
                                },
                                {},
                                {}});
        };
    };

    VaultActions a;
    a.newVault = [self] {
        if (self)
            self->openCreateSheet();
    };
    a.addExisting = [storeGuard] {
        if (storeGuard)
            ContentView::chooseExistingVault(*storeGuard);
    };
    a.unlock = [storeGuard](const Vault& vault) {
        if (storeGuard)
            storeGuard->requestUnlock(vault);
    };
    a.usePassword = [storeGuard](const Vault& vault) {
        if (storeGuard)
            storeGuard->setPasswordPromptVault(vault);
    };
    a.lock = [storeGuard](const Vault& vault) {
        if (storeGuard)
            storeGuard->lock(vault, false, LockReason::manual);
    };
    a.openInFinder = [storeGuard](const Vault& vault) {
        if (storeGuard)
            storeGuard->openVault(vault);
    };
    a.locate = [storeGuard](const Vault& vault) {
        if (storeGuard)
            VaultFileLocation::locate(vault, *storeGuard);
    };
    a.revealFile = [storeGuard](const Vault& vault) {
        if (storeGuard)
            VaultFileLocation::reveal(vault, *storeGuard);
    };
    a.resize = sheet(&SheetFactory::resize);
    a.rename = sheet(&SheetFactory::rename);
    a.vaultSettings = sheet(&SheetFactory::vaultSettings);
    a.changePassword = sheet(&SheetFactory::changePassword);
    a.verify = sheet(&SheetFactory::verify);
    a.compact = [self, storeGuard](const Vault& vault) {
        if (!self)
            return;
        PasswordAction action;
        action.title = QStringLiteral("Reclaim Free Space");
        action.caption = QStringLiteral("Shrinks the vault file on disk after files were deleted inside.");
        action.buttonLabel = QStringLiteral("Reclaim");
        action.run = [storeGuard, vault](QString password) {
            return compactOutcome(storeGuard, vault, std::move(password));
        };
        self->presentSheet({[self, vault, action](QWidget* parent) -> QDialog* {
                                return self->deps_.sheets ? self->deps_.sheets->passwordAction(parent, vault, action)
                                                          : nullptr;
                            },
                            {},
                            {}});
    };
    a.forget = [self](const Vault& vault) {
        if (self)
            self->forgetTask(vault);
    };
    a.trash = [self](const Vault& vault) {
        if (self)
            self->trashTask(vault);
    };
    a.lockAll = [storeGuard] {
        if (storeGuard)
            storeGuard->lockAll(false, LockReason::manual);
    };
    return a;
}

QCoro::Task<> MainWindow::forgetTask(Vault vault) {
    QPointer<MainWindow> self(this);
    if (vault.requireTouchID) {
        OwnerCheck* check = deps_.ownerCheck;
        if (!check)
            co_return; // no way to ask: the vault stays, as after a refused check
        const QString reason = VaultFileLocation::removeReason(vault);
        auto asking = check->authenticate(reason);
        const bool passed = co_await asking;
        if (!passed || !self)
            co_return;
    }
    confirmRemove(vault);
}

QCoro::Task<> MainWindow::trashTask(Vault vault) {
    QPointer<MainWindow> self(this);
    // Looked at off the GUI thread: the path may be on a share that no longer answers.
    auto probing = lookInThread<VaultFileState>([path = vault.bundlePath] { return probeVaultFile(path); });
    const VaultFileState state = co_await probing;
    if (!self)
        co_return;
    if (state == VaultFileState::present) {
        presentSheet({[self, vault](QWidget* parent) -> QDialog* {
                          return self->deps_.sheets ? self->deps_.sheets->deleteVault(parent, vault) : nullptr;
                      },
                      {},
                      {}});
        co_return;
    }
    // Nothing to move to the Trash: the vault can only leave the list, and that asks what Remove
    // from List asks, the owner check included.
    auto forgetting = forgetTask(vault);
    co_await forgetting;
}

QCoro::Task<> MainWindow::startTask() {
    if (starting_)
        co_return;
    starting_ = true;
    QPointer<MainWindow> self(this);
    QPointer<VaultStore> store(deps_.store);
    auto refreshing = store->refresh();
    co_await refreshing;
    if (store) {
        auto opening = store->autoOpenFavorites();
        co_await opening;
    }
    if (self)
        starting_ = false;
}

// ---- sheets ----

void MainWindow::openCreateSheet() {
    if (sheet_ && sheetIsCreate_) {
        if (sheet_->isVisible()) {
            sheet_->raise();
            sheet_->activateWindow();
        }
        return;
    }
    for (const PendingSheet& waiting : std::as_const(queue_)) {
        if (waiting.create)
            return;
    }
    QPointer<MainWindow> self(this);
    presentSheet({[self](QWidget* parent) -> QDialog* {
                      return self->deps_.sheets ? self->deps_.sheets->createVault(parent) : nullptr;
                  },
                  {},
                  {},
                  true});
}

void MainWindow::presentSheet(PendingSheet sheet) {
    queue_.enqueue(std::move(sheet));
    showNextSheet();
}

void MainWindow::showNextSheet() {
    // One sheet at a time, and only over a window on screen; the rest wait their turn.
    if (sheet_ || !isVisible())
        return;
    while (!queue_.isEmpty()) {
        PendingSheet next = queue_.dequeue();
        if (next.stillWanted && !next.stillWanted()) {
            if (next.closed)
                next.closed();
            continue;
        }
        QDialog* dialog = next.make ? next.make(this) : nullptr;
        if (!dialog) {
            if (next.closed)
                next.closed();
            continue;
        }
        if (testAttribute(Qt::WA_SetPalette))
            dialog->setPalette(palette());
        dialog->setWindowModality(Qt::WindowModal);
        sheet_ = dialog;
        sheetIsCreate_ = next.create;
        connect(dialog, &QDialog::finished, this, [this, dialog, closed = next.closed] {
            if (sheet_ == dialog)
                sheet_ = nullptr;
            if (closed)
                closed();
            QTimer::singleShot(0, this, &MainWindow::showNextSheet);
        });
        dialog->open();
        placeSheet();
        return;
    }
}

void MainWindow::showPasswordPrompt() {
    const std::optional<Vault>& prompt = deps_.store->passwordPromptVault();
    if (!prompt) {
        promptShownFor_.reset();
        return;
    }
    if (promptShownFor_ == prompt->id)
        return;
    promptShownFor_ = prompt->id;
    const Vault vault = *prompt;
    QPointer<MainWindow> self(this);
    QPointer<VaultStore> store(deps_.store);
    auto current = [store, id = vault.id] {
        return store && store->passwordPromptVault() && store->passwordPromptVault()->id == id;
    };
    presentSheet({[self, vault](QWidget* parent) -> QDialog* {
                      return self->deps_.sheets ? self->deps_.sheets->unlock(parent, vault) : nullptr;
                  },
                  current,
                  [self, store, current, id = vault.id] {
                      // Closing the prompt answers the store's request, unless another took its place.
                      if (current())
                          store->setPasswordPromptVault(std::nullopt);
                      if (self && self->promptShownFor_ == id)
                          self->promptShownFor_.reset();
                  }});
}

void MainWindow::takeNewVaultRequest() {
    if (!deps_.store->newVaultRequested())
        return;
    deps_.store->setNewVaultRequested(false);
    openCreateSheet();
}

// ---- alerts ----

AlertSpec MainWindow::removeAlert(const Vault& vault) {
    AlertSpec spec;
    spec.objectName = QStringLiteral("removeAlert");
    spec.text = QStringLiteral("Remove ") + quotedName(vault.name) + QStringLiteral(" from the list?");
    spec.informativeText = QStringLiteral("The encrypted vault file stays on disk, but its saved password is removed "
                                          "from your %1 — you'll need to type the password to open it again. Bring it "
                                          "back anytime with “Add Existing Vault…”.")
                               .arg(glossary::keyring);
    spec.buttons = {QStringLiteral("Remove"), QStringLiteral("Cancel")};
    spec.destructiveButton = 0;
    spec.cancelButton = 1;
    // Return must not remove anything.
    spec.defaultButton = 1;
    return spec;
}

AlertSpec MainWindow::errorAlert(const QString& message) {
    AlertSpec spec;
    spec.objectName = QStringLiteral("errorAlert");
    spec.text = QStringLiteral("Larkhold");
    spec.informativeText = message;
    spec.buttons = {QStringLiteral("OK")};
    spec.cancelButton = 0;
    return spec;
}

QWidget* MainWindow::alertParent() {
    if (sheet_ && sheet_->isVisible())
        return sheet_;
    return isVisible() ? this : nullptr;
}

void MainWindow::confirmRemove(const Vault& vault) {
    QPointer<VaultStore> store(deps_.store);
    Dialogs::alert(alertParent(), removeAlert(vault), [store, vault](int answer) {
        if (answer == 0 && store)
            store->forget(vault);
    });
}

void MainWindow::showErrorIfAny() {
    // Only "no error" (null) stays silent: an operation that failed without words still gets its alert.
    const QString message = deps_.store->errorMessage();
    if (message.isNull())
        return;
    if (errorAlert_) {
        errorAlert_->setInformativeText(message);
        Dialogs::keepPlain(errorAlert_);
        return;
    }
    QPointer<VaultStore> store(deps_.store);
    QPointer<MainWindow> self(this);
    QMessageBox* box = Dialogs::alert(alertParent(), errorAlert(message), [store, self](int) {
        if (self)
            self->errorAlert_ = nullptr;
        if (store)
            store->clearErrorMessage();
    });
    errorAlert_ = box;
}

} // namespace larkhold
