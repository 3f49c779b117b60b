#include "UnlockPromptWindow.h"

#include "VaultSheetDialogs.h"
#include "VaultStore.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

namespace larkhold {

namespace {

QPointer<UnlockSheet>& slot() {
    static QPointer<UnlockSheet> window;
    return window;
}

std::function<void(QWidget*)>& presenter() {
    static std::function<void(QWidget*)> present;
    return present;
}

void centreOnActiveScreen(QWidget* window) {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    window->adjustSize();
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

} // namespace

void UnlockPromptWindow::show(const Vault& vault) {
    if (VaultStore* store = VaultStore::shared())
        show(*store, vault);
}

void UnlockPromptWindow::show(VaultStore& store, const Vault& vault) {
    if (QPointer<UnlockSheet> previous = slot())
        previous->close();
    // The prompt neither pre-fills nor asks the owner: the store alone is needed.
    auto* window = new UnlockSheet({&store, nullptr, nullptr}, vault, UnlockSheet::Host::window, nullptr);
    slot() = window;
    // A prompt for a vault removed from the list would open a vault nothing lists.
    QObject::connect(&store, &VaultStore::vaultsChanged, window, [window, &store, id = vault.id] {
        if (!store.vault(id))
            window->close();
    });
    centreOnActiveScreen(window);
    if (presenter()) {
        presenter()(window);
        return;
    }
    window->show();
    window->raise();
    window->activateWindow();
}

UnlockSheet* UnlockPromptWindow::current() {
    return slot().data();
}

void UnlockPromptWindow::close() {
    // Deleted at once: nothing of it may outlive the store it was built on.
    delete slot().data();
}

void UnlockPromptWindow::setPresenter(std::function<void(QWidget*)> present) {
    presenter() = std::move(present);
}

} // namespace larkhold
