#include "SettingsWindow.h"

#include "Defaults.h"
#include "PanicHotKey.h"
#include "ShortcutRecorder.h"
#include "ShortcutRecorderModel.h"
#include "Theme.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace larkhold {

namespace {

QPointer<SettingsWindow> gWindow;

// 768 pixels less a panel, the title bar and a margin.
constexpr int kTallest = 640;

QFont captionFont() {
    return Theme::font(11);
}

ThemeLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new ThemeLabel(text, parent);
    label->setWordWrap(true);
    label->setFont(captionFont());
    label->setTone(ThemeLabel::Tone::secondary);
    return label;
}

// Red that reads on both backgrounds: darker than the usual system red on light, lighter on dark.
QColor errorColor(const QPalette& palette) {
    return Theme::isDark(palette) ? QColor(255, 110, 100) : QColor(196, 30, 30);
}

QCheckBox* toggle(const QString& text, const QString& name, QWidget* parent) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    return box;
}

// Rows as wide as the group, so that captions wrap at its width.
FieldGroup* group(QWidget* parent) {
    auto* made = new FieldGroup(parent);
    made->contentLayout()->setAlignment(Qt::Alignment());
    return made;
}

// A label, a flexible space, then the control.
QHBoxLayout* row(const QString& text, QWidget* control, QWidget* parent) {
    auto* layout = new QHBoxLayout;
    auto* label = new QLabel(text, parent);
    label->setBuddy(control);
    layout->addWidget(label);
    layout->addStretch(1);
    layout->addWidget(control);
    return layout;
}

QComboBox* picker(const QList<SettingsModel::Choice>& choices, const QString& name, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    for (const SettingsModel::Choice& choice : choices)
        box->addItem(choice.title, choice.value);
    return box;
}

} // namespace

SettingsWindow::SettingsWindow(SettingsModel::Deps deps, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(std::move(deps)),
      recorderModel_(std::make_unique<ShortcutRecorderModel>(model_.defaults(), model_.panicHotKey())) {
    setObjectName(QStringLiteral("settings"));
    setWindowTitle(SettingsTexts::title);
    build();
    refresh();
    connect(&model_, &SettingsModel::changed, this, &SettingsWindow::refresh);
    connect(recorderModel_.get(), &ShortcutRecorderModel::changed, this, &SettingsWindow::refresh);
}

SettingsWindow::~SettingsWindow() {
    // Ending a recording takes the shortcut again, which the window must no longer hear about; and the
    // controls refer to the models, which go before the base class deletes its children.
    disconnect(recorderModel_.get(), nullptr, this, nullptr);
    disconnect(&model_, nullptr, this, nullptr);
    recorderModel_->stop();
    qDeleteAll(findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
}

SettingsWindow* SettingsWindow::show(const SettingsModel::Deps& deps) {
    if (!gWindow)
        gWindow = new SettingsWindow(deps);
    SettingsWindow* window = gWindow;
    if (deps.present) {
        deps.present(window);
    } else {
        window->QWidget::show();
        window->raise();
        window->activateWindow();
    }
    return window;
}

SettingsWindow* SettingsWindow::instance() {
    return gWindow;
}

void SettingsWindow::build() {
    // The column scrolls only when the screen is too short for it; otherwise the scroll area is invisible.
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setBackgroundRole(QPalette::Window);
    scroll_->viewport()->setBackgroundRole(QPalette::Window);
    content_ = new QWidget;
    content_->installEventFilter(this);
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(22, 22, 22, 22);
    column->setSpacing(16);

    column->addWidget(
        new SheetHeader(QStringLiteral("gearshape.fill"), SettingsTexts::title, SettingsTexts::subtitle, this));

    auto* designGroup = group(this);
    design_ = picker(SettingsModel::designChoices(), QStringLiteral("designPicker"), this);
    designGroup->contentLayout()->addLayout(row(SettingsTexts::design, design_, this));
    designGroup->contentLayout()->addWidget(caption(SettingsTexts::designCaption, this));
    column->addWidget(designGroup);
    connect(design_, &QComboBox::activated, &model_, &SettingsModel::setDesign);

    auto* lockGroup = group(this);
    autoLock_ = toggle(SettingsTexts::lockAutomatically, QStringLiteral("autoLockToggle"), this);
    after_ = new QComboBox(this);
    after_->setObjectName(QStringLiteral("afterPicker"));
    lockGroup->contentLayout()->addWidget(autoLock_);
    lockGroup->contentLayout()->addLayout(row(SettingsTexts::after, after_, this));
    lockGroup->contentLayout()->addWidget(caption(SettingsTexts::autoLockCaption, this));
    column->addWidget(lockGroup);
    connect(autoLock_, &QCheckBox::toggled, this,
            [this](bool on) { model_.setFlag(SettingsKeys::autoLockEnabled, on); });
    connect(after_, &QComboBox::activated, this,
            [this](int index) { model_.setLockMinutes(after_->itemData(index).toInt()); });

    auto* triggerGroup = group(this);
    screenLock_ = toggle(SettingsTexts::lockOnScreenLock, QStringLiteral("screenLockToggle"), this);
    sleep_ = toggle(SettingsTexts::lockOnSleep(), QStringLiteral("sleepToggle"), this);
    quit_ = toggle(SettingsTexts::lockOnQuit, QStringLiteral("quitToggle"), this);
    triggerGroup->contentLayout()->addWidget(screenLock_);
    triggerGroup->contentLayout()->addWidget(sleep_);
    triggerGroup->contentLayout()->addWidget(quit_);
    triggerGroup->contentLayout()->addWidget(caption(SettingsTexts::triggersCaption, this));
    column->addWidget(triggerGroup);
    connect(screenLock_, &QCheckBox::toggled, this,
            [this](bool on) { model_.setFlag(SettingsKeys::lockOnScreenLock, on); });
    connect(sleep_, &QCheckBox::toggled, this, [this](bool on) { model_.setFlag(SettingsKeys::lockOnSleep, on); });
    connect(quit_, &QCheckBox::toggled, this, [this](bool on) { model_.setFlag(SettingsKeys::lockOnQuit, on); });

    auto* panicGroup = group(this);
    panic_ = toggle(SettingsTexts::panicEnabled, QStringLiteral("panicToggle"), this);
    recorder_ = new ShortcutRecorder(*recorderModel_, model_.panicHotKey(), this);
    recorderNote_ = new QLabel(this);
    recorderNote_->setTextFormat(Qt::PlainText);
    recorderNote_->setWordWrap(true);
    recorderNote_->setFont(captionFont());
    recorderNote_->setObjectName(QStringLiteral("recorderNote"));
    panicGroup->contentLayout()->addWidget(panic_);
    panicGroup->contentLayout()->addLayout(row(SettingsTexts::shortcut, recorder_, this));
    panicGroup->contentLayout()->addWidget(recorderNote_);
    panicGroup->contentLayout()->addWidget(caption(SettingsTexts::panicCaption, this));
    column->addWidget(panicGroup);
    connect(panic_, &QCheckBox::toggled, &model_, &SettingsModel::setPanicEnabled);

    auto* trayGroup = group(this);
    showInTray_ = toggle(SettingsTexts::showInTray(), QStringLiteral("showInTrayToggle"), this);
    trayClick_ = picker(SettingsModel::trayChoices(), QStringLiteral("trayClickPicker"), this);
    hideTaskbar_ = toggle(SettingsTexts::hideTaskbarEntry(), QStringLiteral("hideTaskbarToggle"), this);
    taskbarCaption_ = caption(SettingsTexts::taskbarCaption(), this);
    taskbarCaption_->setObjectName(QStringLiteral("taskbarCaption"));
    login_ = toggle(SettingsTexts::launchAtLogin, QStringLiteral("loginToggle"), this);
    loginError_ = new QLabel(this);
    loginError_->setTextFormat(Qt::PlainText);
    loginError_->setObjectName(QStringLiteral("loginError"));
    loginError_->setWordWrap(true);
    loginError_->setFont(captionFont());
    loginError_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    trayGroup->contentLayout()->addWidget(showInTray_);
    trayGroup->contentLayout()->addLayout(row(SettingsTexts::trayClickShows(), trayClick_, this));
    trayGroup->contentLayout()->addWidget(hideTaskbar_);
    trayGroup->contentLayout()->addWidget(taskbarCaption_);
    trayGroup->contentLayout()->addWidget(login_);
    trayGroup->contentLayout()->addWidget(loginError_);
    column->addWidget(trayGroup);
    connect(showInTray_, &QCheckBox::toggled, this, [this](bool on) { model_.setFlag(SettingsKeys::menuBarIcon, on); });
    connect(trayClick_, &QComboBox::activated, this,
            [this](int index) { model_.setFlag(SettingsKeys::menuBarPanel, trayClick_->itemData(index).toBool()); });
    connect(hideTaskbar_, &QCheckBox::toggled, &model_, &SettingsModel::setHideTaskbarEntry);
    connect(login_, &QCheckBox::toggled, &model_, &SettingsModel::setLaunchAtLogin);

    auto* updateGroup = group(this);
    updates_ = toggle(SettingsTexts::updateCheck, QStringLiteral("updateToggle"), this);
    updateStatus_ = caption(QString(), this);
    updateStatus_->setObjectName(QStringLiteral("updateStatus"));
    checkNow_ = new QuietButton(SettingsTexts::checkNow, this);
    checkNow_->setObjectName(QStringLiteral("checkNowButton"));
    auto* updateRow = new QHBoxLayout;
    updateRow->addWidget(updateStatus_, 1);
    updateRow->addSpacing(12);
    updateRow->addWidget(checkNow_, 0, Qt::AlignVCenter);
    updateGroup->contentLayout()->addWidget(updates_);
    updateGroup->contentLayout()->addLayout(updateRow);
    column->addWidget(updateGroup);
    connect(updates_, &QCheckBox::toggled, this,
            [this](bool on) { model_.setFlag(SettingsKeys::updateCheckEnabled, on); });
    connect(checkNow_, &QPushButton::clicked, this, [this] { model_.checkNow(); });

    scroll_->setWidget(content_);
    outer->addWidget(scroll_);
    setFixedWidth(kWidth);
    // Keyboard users start at the top.
    design_->setFocus(Qt::OtherFocusReason);

    // Escape and Ctrl+W close the window, as they close the desktop's own settings windows. A recording
    // shortcut takes its keys first.
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, &QWidget::close);
    }
}

void SettingsWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyScheme();
}

void SettingsWindow::applyScheme() {
    const QPalette& current = palette();
    QPalette error = current;
    error.setColor(QPalette::WindowText, errorColor(current));
    loginError_->setPalette(error);
    QPalette note = current;
    note.setColor(QPalette::WindowText,
                  recorderNote_->property("problem").toBool() ? errorColor(current) : Theme::secondary(current));
    recorderNote_->setPalette(note);

    // The style draws a box's outline from the window colour and fills it with the base colour; on the
    // dark groups both would vanish, leaving an unticked box invisible.
    for (QCheckBox* box : findChildren<QCheckBox*>()) {
        if (!Theme::isDark(current)) {
            box->setPalette(current);
            continue;
        }
        QPalette visible = current;
        visible.setColor(QPalette::Base, QColor(0x3a, 0x3a, 0x3d));
        visible.setColor(QPalette::Window, QColor(0x8e, 0x8e, 0x93));
        box->setPalette(visible);
    }
}

void SettingsWindow::refresh() {
    // Programmatic updates must not read as the user's changes.
    const QSignalBlocker blockers[] = {
        QSignalBlocker(design_),    QSignalBlocker(autoLock_),    QSignalBlocker(after_), QSignalBlocker(screenLock_),
        QSignalBlocker(sleep_),     QSignalBlocker(quit_),        QSignalBlocker(panic_), QSignalBlocker(showInTray_),
        QSignalBlocker(trayClick_), QSignalBlocker(hideTaskbar_), QSignalBlocker(login_), QSignalBlocker(updates_)};

    design_->setCurrentIndex(model_.designIndex());
    autoLock_->setChecked(model_.flag(SettingsKeys::autoLockEnabled));
    after_->clear();
    for (const SettingsModel::Choice& choice : model_.lockChoices())
        after_->addItem(choice.title, choice.value);
    after_->setCurrentIndex(model_.lockChoiceIndex());
    after_->setEnabled(model_.afterPickerEnabled());
    screenLock_->setChecked(model_.flag(SettingsKeys::lockOnScreenLock));
    sleep_->setChecked(model_.flag(SettingsKeys::lockOnSleep));
    quit_->setChecked(model_.flag(SettingsKeys::lockOnQuit));

    panic_->setChecked(model_.flag(SettingsKeys::panicEnabled));
    const QString note = recorderModel_->note();
    recorderNote_->setText(note);
    recorderNote_->setVisible(!note.isEmpty());
    recorderNote_->setProperty("problem", recorderModel_->noteIsProblem());
    applyScheme();

    showInTray_->setChecked(model_.flag(SettingsKeys::menuBarIcon));
    showInTray_->setEnabled(model_.showInTrayEnabled());
    trayClick_->setCurrentIndex(model_.flag(SettingsKeys::menuBarPanel) ? 0 : 1);
    trayClick_->setEnabled(model_.trayClickEnabled());
    hideTaskbar_->setChecked(model_.flag(SettingsKeys::hideDockIcon));
    taskbarCaption_->setVisible(model_.taskbarCaptionVisible());
    login_->setChecked(model_.launchAtLogin());
    loginError_->setText(model_.loginItemError());
    loginError_->setVisible(!model_.loginItemError().isEmpty());

    updates_->setChecked(model_.flag(SettingsKeys::updateCheckEnabled));
    if (model_.updateResult().isEmpty()) {
        updateStatus_->setText(SettingsTexts::updateCaption);
        updateStatus_->setTone(ThemeLabel::Tone::secondary);
    } else {
        updateStatus_->setText(model_.updateResult());
        updateStatus_->setTone(ThemeLabel::Tone::primary);
    }
    checkNow_->setText(model_.checkButtonTitle());
    checkNow_->setEnabled(!model_.checkingUpdate());
}

bool SettingsWindow::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::Show || event->type() == QEvent::ScreenChangeInternal)
        fitHeight();
    return handled;
}

bool SettingsWindow::eventFilter(QObject* watched, QEvent* event) {
    // The column's lines were shown, hidden or rewrapped.
    if (watched == content_ && event->type() == QEvent::LayoutRequest)
        QMetaObject::invokeMethod(this, &SettingsWindow::fitHeight, Qt::QueuedConnection);
    return QWidget::eventFilter(watched, event);
}

void SettingsWindow::setHeightLimit(std::optional<int> limit) {
    heightLimit_ = limit;
    fitHeight();
}

int SettingsWindow::heightLimit() const {
    if (heightLimit_)
        return *heightLimit_;
    // Room for the window manager's title bar, a panel and a margin; and never taller than a 768-pixel
    // screen offers, so that the window opens whole on the small screens of the desktop.
    const QScreen* shownOn = screen();
    const int offered = shownOn ? shownOn->availableGeometry().height() - 96 : kTallest;
    return std::min(offered, kTallest);
}

void SettingsWindow::fitHeight() {
    // The width is fixed and the height follows the content, up to what the screen offers. Only a shown
    // window counts its controls, so the height is worked out from the first show on.
    if (!isVisible())
        return;
    QLayout* column = content_->layout();
    column->activate();
    const int contentHeight =
        column->hasHeightForWidth() ? column->totalHeightForWidth(kWidth) : column->totalSizeHint().height();
    content_->setFixedSize(kWidth, contentHeight);
    const int limit = std::max(heightLimit(), 200);
    const bool scrolls = contentHeight > limit;
    const QSize size(kWidth + (scrolls ? scroll_->verticalScrollBar()->sizeHint().width() : 0),
                     scrolls ? limit : contentHeight);
    if (size != this->size() || minimumSize() != size)
        setFixedSize(size);
}

} // namespace larkhold
