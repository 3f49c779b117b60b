#include "PocketWindows.h"

#include "DesignWidgets.h"
#include "Dialogs.h"
#include "Glossary.h"
#include "PocketDocument.h"
#include "PocketEditor.h"
#include "PocketPanels.h"
#include "PocketSession.h"
#include "PocketStorage.h"
#include "PocketVaultModel.h"
#include "PocketWidgets.h"
#include "SecondPasswordDialog.h"
#include "SecretStore.h"
#include "Theme.h"
#include "VaultStore.h"
#include "WindowPresenter.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

namespace larkhold {

namespace {

PocketWindowDeps& dependencies() {
    static PocketWindowDeps deps;
    return deps;
}

QHash<QUuid, QPointer<PocketWindow>>& registry() {
    static QHash<QUuid, QPointer<PocketWindow>> windows;
    return windows;
}

// What a Pocket window put on the clipboard or into the selection, so that locking the vault can
// take it back (and only it: a later copy from another program is left alone).
struct ClipboardTrace {
    QUuid vaultID;
    QByteArray digest;
};

QHash<int, ClipboardTrace>& clipboardTraces() {
    static QHash<int, ClipboardTrace> traces;
    return traces;
}

QByteArray digestOf(const QString& text) {
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256);
}

void traceClipboard(QClipboard::Mode mode) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QWidget* focus = QApplication::focusWidget();
    for (const QPointer<PocketWindow>& window : std::as_const(registry())) {
        if (window && focus && (window == focus || window->isAncestorOf(focus))) {
            clipboardTraces().insert(int(mode), {window->vaultID(), digestOf(clipboard->text(mode))});
            return;
        }
    }
    clipboardTraces().remove(int(mode));
}

void watchClipboard() {
    static bool watching = false;
    if (watching || !qApp)
        return;
    watching = true;
    QClipboard* clipboard = QGuiApplication::clipboard();
    QObject::connect(clipboard, &QClipboard::dataChanged, qApp, [] { traceClipboard(QClipboard::Clipboard); });
    QObject::connect(clipboard, &QClipboard::selectionChanged, qApp, [] { traceClipboard(QClipboard::Selection); });
}

void clearClipboardOf(const QUuid& vaultID) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    for (const QClipboard::Mode mode : {QClipboard::Clipboard, QClipboard::Selection}) {
        const auto trace = clipboardTraces().constFind(int(mode));
        if (trace == clipboardTraces().cend() || trace->vaultID != vaultID)
            continue;
        if (digestOf(clipboard->text(mode)) == trace->digest)
            clipboard->clear(mode);
        clipboardTraces().remove(int(mode));
    }
}

// In front, active, and on the desktop the user is looking at.
void bringForward(QWidget* window) {
    if (window->isMinimized())
        window->showNormal();
    if (WindowPresenter* presenter = dependencies().presenter)
        presenter->moveToCurrentDesktop(window->winId());
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

// ---- the window ----

PocketWindow::PocketWindow(PocketSession& session, const Vault& vault, PocketWindowDeps deps, QWidget* parent)
    : QWidget(parent), deps_(deps), session_(&session), vaultID_(vault.id),
      model_(new PocketVaultModel(*deps.store, session, vault.id, this)) {
    setObjectName(QStringLiteral("pocketWindow"));
    setWindowTitle(vault.name);
    // Where its save panels first open.
    setProperty("vaultFolder", QFileInfo(session.storage()->path()).absolutePath());
    setMinimumSize(kMinimumSize);
    resize(kDefaultSize);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(14, 10, 14, 10);
    header->setSpacing(10);
    header->addWidget(new IconTile(QStringLiteral("lock.open.fill"), GradientKind::unlocked, 32, this));
    auto* names = new QVBoxLayout;
    names->setSpacing(1);
    title_ = new ThemeLabel(QString(), this);
    title_->setObjectName(QStringLiteral("vaultName"));
    title_->setFont(Theme::font(15, QFont::DemiBold, Theme::FontDesign::rounded));
    title_->setElideMode(Qt::ElideMiddle);
    subtitle_ = new ThemeLabel(QString(), this);
    subtitle_->setObjectName(QStringLiteral("vaultCapacity"));
    subtitle_->setFont(Theme::font(11));
    subtitle_->setTone(ThemeLabel::Tone::secondary);
    names->addWidget(title_);
    names->addWidget(subtitle_);
    header->addLayout(names, 1);
    lock_ = new ProminentButton(QStringLiteral("Lock"), GradientKind::unlocked, this);
    lock_->setObjectName(QStringLiteral("lockButton"));
    lock_->setSymbol(QStringLiteral("lock.fill"));
    lock_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    lock_->setToolTip(QStringLiteral("Lock (%1L)").arg(glossary::commandKey));
    connect(lock_, &QPushButton::clicked, this, &PocketWindow::lockVault);
    header->addWidget(lock_);
    column->addLayout(header);
    column->addWidget(new Rule(Qt::Horizontal, 1.0, this));

    banner_ = new Band([](const QPalette& p) { return Theme::withAlpha(Theme::systemOrange(p), 0.08); }, this);
    banner_->setObjectName(QStringLiteral("copiesBanner"));
    auto* bannerRow = new QHBoxLayout(banner_);
    bannerRow->setContentsMargins(14, 8, 14, 8);
    bannerRow->setSpacing(8);
    auto* warning =
        new SymbolView(QStringLiteral("exclamationmark.triangle.fill"), 14, ThemeLabel::Tone::orange, banner_);
    bannerText_ = new QLabel(banner_);
    bannerText_->setTextFormat(Qt::PlainText);
    bannerText_->setObjectName(QStringLiteral("copiesWarning"));
    bannerText_->setFont(Theme::font(12));
    bannerText_->setWordWrap(true);
    bannerRow->addWidget(warning, 0, Qt::AlignTop);
    bannerRow->addWidget(bannerText_, 1);
    column->addWidget(banner_);
    bannerDivider_ = new Rule(Qt::Horizontal, 1.0, this);
    column->addWidget(bannerDivider_);

    editor_ = new PocketEditor(session.document(), deps.defaults, this);
    column->addWidget(editor_, 1);
    column->addWidget(new Rule(Qt::Horizontal, 1.0, this));

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(14, 8, 14, 8);
    footer->setSpacing(10);
    bar_ = new CapacityBar(0, false, this);
    bar_->setFixedWidth(140);
    usage_ = new ThemeLabel(QString(), this);
    usage_->setObjectName(QStringLiteral("usage"));
    usage_->setFont(Theme::font(11));
    usage_->setTone(ThemeLabel::Tone::secondary);
    saveIcon_ = new SymbolView(QStringLiteral("exclamationmark.triangle.fill"), 11, ThemeLabel::Tone::orange, this);
    saveState_ = new ThemeLabel(QString(), this);
    saveState_->setObjectName(QStringLiteral("saveState"));
    // A save error says what to do in its last words: it wraps, and is never cut.
    saveState_->setWordWrap(true);
    saveState_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    saveState_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    saveState_->setFont(Theme::font(11));
    footer->addWidget(bar_, 0, Qt::AlignVCenter);
    footer->addWidget(usage_);
    footer->addWidget(saveIcon_);
    footer->addWidget(saveState_, 1);
    saveCopy_ = new QuietButton(QStringLiteral("Save a Copy…"), this);
    saveCopy_->setObjectName(QStringLiteral("saveCopy"));
    footer->addWidget(saveCopy_);
    column->addLayout(footer);
    connect(saveCopy_, &QPushButton::clicked, this, [this] {
        PocketPanels::chooseCopyPath(this, model_->proposedCopyName(), [this](const QString& path) { saveCopyTo(path); });
    });

    connect(model_, &PocketVaultModel::changed, this, &PocketWindow::refresh);
    connect(deps.store, &VaultStore::pocketEditsUnkept, this, [this](const QUuid& id) {
        if (id == vaultID_)
            askHowToKeepEdits();
    });
    connect(&session, &PocketSession::secondPasswordRequestedChanged, this, &PocketWindow::takeSecondPasswordRequest);
    refresh();
}

PocketWindow::~PocketWindow() {
    wipe();
}

SecondPasswordDialog* PocketWindow::secondPasswordDialog() const {
    return secondPassword_;
}

void PocketWindow::refresh() {
    title_->setText(model_->title());
    subtitle_->setText(model_->subtitle());
    const std::optional<QString> banner = model_->banner();
    banner_->setVisible(banner.has_value());
    bannerDivider_->setVisible(banner.has_value());
    bannerText_->setText(banner.value_or(QString()));
    bar_->setFraction(model_->usedFraction());
    usage_->setText(model_->usageText());
    const PocketVaultModel::SaveState state = model_->saveState();
    saveIcon_->setVisible(state.failed);
    saveState_->setText(state.text);
    saveState_->setToolTip(state.failed ? state.text : QString());
    saveState_->setTone(state.failed ? ThemeLabel::Tone::orange : ThemeLabel::Tone::secondary);
    saveCopy_->setVisible(model_->offersCopy());
    lock_->setEnabled(model_->canLock());
    // While the lock saves a last time nothing may change: what is typed then would be wiped unsaved.
    editor_->setReadOnly(!model_->editable());
}

QCoro::Task<> PocketWindow::saveCopyTo(QString path, bool thenLock) {
    if (!session_)
        co_return;
    const QPointer<PocketWindow> self(this);
    auto writing = session_->saveCopy(path);
    const std::optional<QString> failure = co_await writing;
    if (!self)
        co_return;
    if (!failure) {
        if (thenLock)
            lockVault();
        co_return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, QString(), *failure, QMessageBox::Ok, self);
    box->setObjectName(QStringLiteral("copyFailure"));
    Dialogs::keepPlain(box);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void PocketWindow::lockVault() {
    if (model_->canLock())
        lockAndReport();
}

QCoro::Task<> PocketWindow::lockAndReport() {
    const QPointer<PocketWindow> self(this);
    const QPointer<VaultStore> store = deps_.store;
    auto locking = model_->lock();
    const StoreOutcome outcome = co_await locking;
    // A lock that could not save leaves the vault open; say so here, where the user is looking.
    if (outcome.ok || !self)
        co_return;
    // Asked already, through the store, whoever asked for the lock.
    if (session_ && session_->fileChangedElsewhere() && !session_->editsKeptInCopy())
        co_return;
    auto* box = new QMessageBox(QMessageBox::Warning, QString(), outcome.message, QMessageBox::Ok, self);
    box->setObjectName(QStringLiteral("lockFailure"));
    Dialogs::keepPlain(box);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Shown here; the main window need not show it again.
    if (store && store->errorMessage() == outcome.message)
        store->clearErrorMessage();
    box->open();
}

void PocketWindow::askHowToKeepEdits() {
    const std::optional<Vault> vault = model_->vault();
    AlertSpec spec;
    spec.objectName = QStringLiteral("keepEditsAlert");
    spec.text = QStringLiteral("“%1” was changed elsewhere, so these edits aren’t saved")
                    .arg(vault ? vault->name : QStringLiteral("Pocket Vault"));
    spec.informativeText = QStringLiteral("Save a copy to keep them; the vault then locks. If you lock without "
                                          "them, these edits are lost.");
    spec.buttons = {QStringLiteral("Save a Copy…"), QStringLiteral("Lock Without These Edits"),
                    QStringLiteral("Cancel")};
    spec.destructiveButton = 1;
    spec.cancelButton = 2;
    spec.icon = QMessageBox::Warning;
    const QPointer<PocketWindow> self(this);
    Dialogs::alert(this, spec, [self](int answer) {
        if (!self || !self->session_)
            return;
        if (answer == 0) {
            PocketPanels::chooseCopyPath(self, self->model_->proposedCopyName(), [self](const QString& path) {
                if (self)
                    self->saveCopyTo(path, true);
            });
        } else if (answer == 1) {
            self->session_->letEditsGo();
            self->lockVault();
        }
    });
}

void PocketWindow::closeEvent(QCloseEvent* event) {
    const std::optional<Vault> vault = model_->vault();
    if (closingForGood_ || !vault || !deps_.store || !deps_.store->isUnlocked(vault->id)) {
        event->accept();
        return;
    }
    // The window stays until the lock has saved and closed the vault, which then closes it.
    event->ignore();
    lockVault();
}

void PocketWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    QTimer::singleShot(0, this, &PocketWindow::takeSecondPasswordRequest);
}

void PocketWindow::takeSecondPasswordRequest() {
    if (!session_ || !session_->secondPasswordRequested() || !isVisible())
        return;
    session_->setSecondPasswordRequested(false);
    PocketWindows::growToFit(kSecondPasswordSize, vaultID_);
    openSecondPasswordSetup();
}

void PocketWindow::openSecondPasswordSetup() {
    if (secondPassword_ || !session_ || !deps_.secrets) {
        if (secondPassword_)
            secondPassword_->raise();
        return;
    }
    secondPassword_ = new SecondPasswordDialog(*session_, session_->document().items(), *deps_.secrets, deps_.store,
                                               deps_.importer, deps_.defaults, this);
    secondPassword_->open();
}

void PocketWindow::wipe() {
    if (secondPassword_) {
        secondPassword_->wipe();
        secondPassword_->close();
    }
    if (editor_)
        editor_->wipe();
}

void PocketWindow::closeForGood() {
    closingForGood_ = true;
    close();
}

// ---- the registry ----

void PocketWindows::setDependencies(PocketWindowDeps deps) {
    dependencies() = deps;
}

void PocketWindows::show(PocketSession& session, const Vault& vault) {
    watchClipboard();
    if (PocketWindow* existing = window(vault.id)) {
        bringForward(existing);
        existing->takeSecondPasswordRequest();
        return;
    }
    auto* made = new PocketWindow(session, vault, dependencies());
    made->setAttribute(Qt::WA_DeleteOnClose, false);
    registry().insert(vault.id, made);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), made->size());
        frame.moveCenter(screen->availableGeometry().center());
        made->move(frame.topLeft());
    }
    bringForward(made);
}

void PocketWindows::close(const QUuid& vaultID) {
    const QPointer<PocketWindow> found = registry().take(vaultID);
    clearClipboardOf(vaultID);
    if (!found)
        return;
    found->wipe();
    found->closeForGood();
    found->deleteLater();
}

void PocketWindows::growToFit(const QSize& size, const QUuid& vaultID) {
    PocketWindow* found = window(vaultID);
    if (!found)
        return;
    const QRect content = found->geometry();
    if (content.width() >= size.width() && content.height() >= size.height())
        return;
    const QRect frame = found->frameGeometry();
    const QMargins decoration(content.left() - frame.left(), content.top() - frame.top(),
                              frame.right() - content.right(), frame.bottom() - content.bottom());
    const QSize target(std::max(content.width(), size.width()) + decoration.left() + decoration.right(),
                       std::max(content.height(), size.height()) + decoration.top() + decoration.bottom());
    QScreen* screen = found->screen() ? found->screen() : QGuiApplication::primaryScreen();
    const QRect bounds = screen ? screen->availableGeometry() : QRect(frame.topLeft(), target);
    const int width = std::min(target.width(), bounds.width());
    const int height = std::min(target.height(), bounds.height());
    int x = frame.center().x() - width / 2;
    int y = frame.top();
    x = std::min(std::max(x, bounds.left()), bounds.left() + bounds.width() - width);
    y = std::min(std::max(y, bounds.top()), bounds.top() + bounds.height() - height);
    found->resize(width - decoration.left() - decoration.right(), height - decoration.top() - decoration.bottom());
    found->move(x, y);
}

PocketWindow* PocketWindows::window(const QUuid& vaultID) {
    return registry().value(vaultID).data();
}

QList<QUuid> PocketWindows::openWindows() {
    QList<QUuid> ids;
    for (auto it = registry().cbegin(); it != registry().cend(); ++it)
        if (it.value())
            ids.append(it.key());
    return ids;
}

} // namespace larkhold
