#include "VaultSheetDialogs.h"

#include "PasswordStrengthView.h"
#include "SegmentedControl.h"
#include "SheetTexts.h"
#include "Theme.h"
#include "VaultSizeField.h"
#include "VaultStore.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace larkhold {

namespace {

constexpr int kUnlockWidth = 400;
constexpr int kEditWidth = 420;
constexpr int kCheckWidth = 440;
constexpr int kCreateWidth = 460;

// A hairline between the rows of a group.
QWidget* divider() {
    return new Rule(Qt::Horizontal);
}

QCheckBox* checkBox(const QString& text, const char* name) {
    auto* box = new QCheckBox(text);
    box->setObjectName(QString::fromLatin1(name));
    SheetDialog::styleField(box);
    return box;
}

// A wrapping orange warning with its symbol.
QWidget* warning(const QString& symbol, QLabel** text) {
    *text = SheetDialog::caption(QString(), SheetDialog::Tone::warning);
    return SheetDialog::symbolLabel(symbol, *text, SheetDialog::Tone::warning);
}

} // namespace

// ---- New Vault ----

CreateVaultSheet::CreateVaultSheet(SheetServices services, QWidget* parent)
    : SheetDialog(new CreateVaultModel(services), kCreateWidth, parent),
      model_(static_cast<CreateVaultModel*>(&model())) {
    setObjectName(QStringLiteral("createVaultSheet"));
    CreateVaultModel& m = *model_;
    setHeader(QStringLiteral("plus.square.fill"), QStringLiteral("New Vault"), m.subtitle());
    bindSubtitle([&m] { return m.subtitle(); });

    auto* kind = new SegmentedControl({QStringLiteral("Standard Vault"), QStringLiteral("Pocket Vault")});
    kind->setObjectName(QStringLiteral("kind"));
    addRow(kind);
    connect(kind, &SegmentedControl::activated, this,
            [&m](int index) { m.setKind(index == 1 ? VaultKind::pocket : VaultKind::standard); });

    QVBoxLayout* first = addGroup();
    QLineEdit* name = textField(QStringLiteral("e.g. Private"), QStringLiteral("Name"));
    name->setObjectName(QStringLiteral("name"));
    first->addWidget(name);
    bind(
        name, [&m] { return m.name(); }, [&m](const QString& v) { m.setName(v); });

    auto* location = new QHBoxLayout;
    auto* path = new ThemeLabel;
    path->setObjectName(QStringLiteral("directory"));
    path->setTone(ThemeLabel::Tone::secondary);
    path->setElideMode(Qt::ElideMiddle);
    location->addWidget(symbolLabel(QStringLiteral("folder"), path, Tone::secondary), 1);
    auto* choose = new QuietButton(QStringLiteral("Choose…"));
    choose->setObjectName(QStringLiteral("choose"));
    location->addWidget(choose);
    first->addLayout(location);
    connect(choose, &QPushButton::clicked, this, &CreateVaultSheet::chooseDirectory);
    onRefresh([path, &m] {
        path->setText(QDir::toNativeSeparators(m.directory()));
        path->setToolTip(path->text());
    });
    first->addWidget(divider());

    auto* standard = new QWidget;
    auto* standardRows = new QVBoxLayout(standard);
    standardRows->setContentsMargins(0, 0, 0, 0);
    sizeField_ = new VaultSizeField(m.maxSizeMB(), VaultSizeModel::kSmallestMB);
    sizeField_->setObjectName(QStringLiteral("size"));
    standardRows->addWidget(sizeField_);
    standardRows->addWidget(caption(CreateVaultModel::sizeCaption()));
    first->addWidget(standard);
    connect(sizeField_, &VaultSizeField::sizeChanged, this, [&m](qint64 mb) { m.setMaxSizeMB(mb); });

    auto* pocket = new QWidget;
    auto* pocketRows = new QVBoxLayout(pocket);
    pocketRows->setContentsMargins(0, 0, 0, 0);
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(new QLabel(QStringLiteral("Size")));
    sizeRow->addStretch(1);
    QStringList capacities;
    for (int mb : CreateVaultModel::kPocketSizesMB)
        capacities << CreateVaultModel::pocketSizeLabel(mb);
    auto* capacity = new SegmentedControl(capacities);
    capacity->setObjectName(QStringLiteral("pocketSize"));
    capacity->setFixedWidth(240);
    sizeRow->addWidget(capacity);
    pocketRows->addLayout(sizeRow);
    pocketRows->addWidget(caption(CreateVaultModel::pocketCaption()));
    first->addWidget(pocket);
    connect(capacity, &SegmentedControl::activated, this,
            [&m](int index) { m.setPocketSizeMB(CreateVaultModel::kPocketSizesMB[static_cast<size_t>(index)]); });

    onRefresh([this, kind, standard, pocket, capacity, &m] {
        const bool isPocket = m.kind() == VaultKind::pocket;
        kind->setCurrentIndex(isPocket ? 1 : 0);
        // The size field starts again from the sheet's value each time it is shown anew.
        if (!isPocket && standard->isHidden())
            sizeField_->reset(m.maxSizeMB());
        standard->setVisible(!isPocket);
        pocket->setVisible(isPocket);
        const auto* it = std::find(CreateVaultModel::kPocketSizesMB.begin(), CreateVaultModel::kPocketSizesMB.end(),
                                   m.pocketSizeMB());
        capacity->setCurrentIndex(static_cast<int>(it - CreateVaultModel::kPocketSizesMB.begin()));
    });

    QVBoxLayout* second = addGroup();
    QLineEdit* password = passwordField(SheetTexts::password);
    password->setObjectName(QStringLiteral("password"));
    QLineEdit* confirm = passwordField(QStringLiteral("Confirm password"));
    confirm->setObjectName(QStringLiteral("confirmPassword"));
    auto* meter = new PasswordStrengthView;
    meter->setObjectName(QStringLiteral("meter"));
    second->addWidget(password);
    second->addWidget(confirm);
    second->addWidget(meter);
    bind(
        password, [&m] { return m.password(); }, [&m](const QString& v) { m.setPassword(v); });
    bind(
        confirm, [&m] { return m.confirmPassword(); }, [&m](const QString& v) { m.setConfirmPassword(v); });
    onRefresh([meter, &m] { meter->setPassword(m.password()); });
    second->addWidget(divider());

    addHintFields(
        second, [&m] { return m.passwordHint(); }, [&m](const QString& v) { m.setPasswordHint(v); });

    auto* remember = checkBox(SheetTexts::rememberPassword, "remember");
    auto* keepOut = checkBox(glossary::keepOutOfCloudSync + QStringLiteral(" (never upload this vault)"), "keepOut");
    second->addWidget(remember);
    second->addWidget(keepOut);
    bind(
        remember, [&m] { return m.saveToKeychain(); }, [&m](bool on) { m.setSaveToKeychain(on); });
    bind(
        keepOut, [&m] { return m.excludeFromCloud(); }, [&m](bool on) { m.setExcludeFromCloud(on); });

    QLabel* cloudText = nullptr;
    QWidget* cloud = warning(QStringLiteral("icloud.and.arrow.up"), &cloudText);
    cloud->setObjectName(QStringLiteral("cloudWarning"));
    second->addWidget(cloud);
    bindMessage(
        cloudText, [&m] { return m.cloudWarning(); }, cloud);
    QLabel* syncText = nullptr;
    QWidget* sync = warning(QStringLiteral("arrow.triangle.2.circlepath.icloud"), &syncText);
    sync->setObjectName(QStringLiteral("syncWarning"));
    second->addWidget(sync);
    bindMessage(
        syncText, [&m] { return m.syncServiceWarning(); }, sync);
    QLabel* lostText = nullptr;
    second->addWidget(warning(QStringLiteral("exclamationmark.triangle"), &lostText));
    lostText->setText(CreateVaultModel::lostPasswordWarning());

    QLabel* message = caption(QString(), Tone::error, 12);
    message->setObjectName(QStringLiteral("validation"));
    addRow(message);
    bindMessage(message, [&m] { return m.validationMessage(); });

    addButtons();
    bindPrimary([&m] { return m.primaryLabel(); }, [&m] { return m.canCreate(); });
}

QFileDialog* CreateVaultSheet::folderChooser() const {
    return chooser_.data();
}

void CreateVaultSheet::chooseDirectory() {
    if (chooser_)
        return;
    chooser_ = new QFileDialog(this);
    chooser_->setOption(QFileDialog::DontUseNativeDialog);
    chooser_->setOption(QFileDialog::ShowDirsOnly);
    chooser_->setFileMode(QFileDialog::Directory);
    chooser_->setLabelText(QFileDialog::Accept, QStringLiteral("Select"));
    chooser_->setDirectory(model_->directory());
    chooser_->setAttribute(Qt::WA_DeleteOnClose);
    connect(chooser_, &QFileDialog::fileSelected, this, [this](const QString& folder) {
        if (!folder.isEmpty())
            model_->setDirectory(folder);
    });
    chooser_->open();
}

// ---- Unlock ----

UnlockSheet::UnlockSheet(SheetServices services, const Vault& vault, Host host, QWidget* parent)
    : SheetDialog(new UnlockModel(services, vault), kUnlockWidth, parent), model_(static_cast<UnlockModel*>(&model())),
      host_(host) {
    setObjectName(host == Host::window ? QStringLiteral("unlockWindow") : QStringLiteral("unlockSheet"));
    UnlockModel& m = *model_;
    setHeader(QStringLiteral("key.fill"), m.title(), m.subtitle());

    QVBoxLayout* group = addGroup();
    if (const std::optional<QString> why = m.savedPasswordLine()) {
        QLabel* line = caption(*why);
        line->setObjectName(QStringLiteral("savedPasswordNotUsed"));
        line->setWordWrap(true);
        line->setContentsMargins(0, 0, 0, 2);
        group->addWidget(line);
    }
    addPasswordField(group, m, SheetTexts::password);
    if (const std::optional<QString> hint = m.hintLine()) {
        QLabel* line = caption(*hint);
        line->setObjectName(QStringLiteral("hint"));
        line->setContentsMargins(0, 2, 0, 0);
        group->addWidget(line);
    }
    auto* remember = checkBox(SheetTexts::rememberPassword, "remember");
    group->addWidget(remember);
    bind(
        remember, [&m] { return m.saveToKeychain(); }, [&m](bool on) { m.setSaveToKeychain(on); });

    if (host == Host::window) {
        QLabel* failure = caption(QString(), Tone::error, 12);
        failure->setObjectName(QStringLiteral("failure"));
        QWidget* row = symbolLabel(QStringLiteral("xmark.circle.fill"), failure, Tone::error);
        group->addWidget(row);
        bindMessage(
            failure, [&m] { return m.failure(); }, row);
        setWindowTitle(QStringLiteral("Unlock Vault"));
        setWindowModality(Qt::NonModal);
        setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    }

    addButtons();
    bindPrimary([&m] { return m.primaryLabel(); }, [&m] { return m.canUnlock(); });
}

// ---- Change Size Limit ----

ResizeSheet::ResizeSheet(SheetServices services, const Vault& vault, QWidget* parent)
    : SheetDialog(new ResizeModel(services, vault), kEditWidth, parent), model_(static_cast<ResizeModel*>(&model())) {
    setObjectName(QStringLiteral("resizeSheet"));
    ResizeModel& m = *model_;
    setHeader(QStringLiteral("arrow.up.right.circle.fill"), QStringLiteral("Change Size Limit"), m.subtitle());

    QVBoxLayout* group = addGroup();
    sizeField_ = new VaultSizeField(m.newSizeMB(), m.minimumMB());
    sizeField_->setObjectName(QStringLiteral("size"));
    group->addWidget(sizeField_);
    connect(sizeField_, &VaultSizeField::sizeChanged, this, [&m](qint64 mb) { m.setNewSizeMB(mb); });
    QLabel* usage = caption(m.usageCaption());
    usage->setObjectName(QStringLiteral("usage"));
    group->addWidget(usage);
    bindText(usage, [&m] { return m.usageCaption(); });
    onRefresh([this, &m] { sizeField_->setMinimumMB(m.minimumMB()); });
    addPasswordField(group, m, SheetTexts::password);
    QLabel* message = caption(QString(), Tone::error, 11);
    message->setObjectName(QStringLiteral("validation"));
    group->addWidget(message);
    bindMessage(message, [&m] { return m.validationMessage(); });

    addButtons();
    bindPrimary([&m] { return m.primaryLabel(); }, [&m] { return m.canResize(); });
}

// ---- Rename ----

RenameSheet::RenameSheet(SheetServices services, const Vault& vault, QWidget* parent)
    : SheetDialog(new RenameModel(services, vault), kEditWidth, parent), model_(static_cast<RenameModel*>(&model())) {
    setObjectName(QStringLiteral("renameSheet"));
    RenameModel& m = *model_;
    setHeader(QStringLiteral("pencil.circle.fill"), m.title(), m.subtitle());

    QVBoxLayout* group = addGroup();
    QLineEdit* name = textField(QStringLiteral("New name"));
    name->setObjectName(QStringLiteral("name"));
    group->addWidget(name);
    bind(
        name, [&m] { return m.newName(); }, [&m](const QString& v) { m.setNewName(v); });
    if (m.needsPassword()) {
        addPasswordField(group, m, SheetTexts::password);
    }

    addButtons();
    bindPrimary([&m] { return m.primaryLabel(); }, [&m] { return m.canRename(); });
}

// ---- Vault settings ----

VaultSettingsSheet::VaultSettingsSheet(SheetServices services, const Vault& vault, QWidget* parent)
    : SheetDialog(new VaultSettingsModel(services, vault), kEditWidth, parent),
      model_(static_cast<VaultSettingsModel*>(&model())) {
    setObjectName(QStringLiteral("vaultSettingsSheet"));
    VaultSettingsModel& m = *model_;
    setHeader(QStringLiteral("gearshape.fill"), m.title(), VaultSettingsModel::subtitle());

    QVBoxLayout* group = addGroup();
    auto* touch = checkBox(VaultSettingsModel::requireTouchIDLabel(), "requireTouchID");
    group->addWidget(touch);
    bind(
        touch, [&m] { return m.requireTouchID(); }, [&m](bool on) { m.setRequireTouchID(on); });
    QLabel* touchCaption = caption(m.touchIDCaption());
    touchCaption->setObjectName(QStringLiteral("touchIDCaption"));
    group->addWidget(touchCaption);
    bindText(touchCaption, [&m] { return m.touchIDCaption(); });
    group->addWidget(divider());

    if (m.showsOpenInFinder()) {
        auto* finder = checkBox(VaultSettingsModel::openInFinderLabel(), "openInFinder");
        group->addWidget(finder);
        bind(
            finder, [&m] { return m.openInFinder(); }, [&m](bool on) { m.setOpenInFinder(on); });
    }
    auto* autoOpen = checkBox(VaultSettingsModel::autoOpenLabel(), "autoOpen");
    group->addWidget(autoOpen);
    bind(
        autoOpen, [&m] { return m.autoOpen(); }, [&m](bool on) { m.setAutoOpen(on); });
    QLabel* autoWarning = caption(QString(), Tone::warning);
    autoWarning->setObjectName(QStringLiteral("autoOpenWarning"));
    group->addWidget(autoWarning);
    bindMessage(autoWarning, [&m] { return m.autoOpenWarning(); });
    group->addWidget(divider());

    addHintFields(
        group, [&m] { return m.passwordHint(); }, [&m](const QString& v) { m.setPasswordHint(v); },
        [&m] { return m.hintMessage(); });

    addButtons();
    bindPrimary([] { return QStringLiteral("Save"); }, [&m] { return m.canSave(); });
}

void VaultSettingsSheet::setVisible(bool visible) {
    SheetDialog::setVisible(visible);
    // A dialog that shows gives its first field the focus as Tab would, which selects a field's whole text: the
    // hint is kept as it is, with typing going on at its end.
    if (auto* edit = qobject_cast<QLineEdit*>(focusWidget()); visible && edit) {
        edit->deselect();
        edit->end(false);
    }
}

// ---- Change Password ----

ChangePasswordSheet::ChangePasswordSheet(SheetServices services, const Vault& vault, QWidget* parent)
    : SheetDialog(new ChangePasswordModel(services, vault), kEditWidth, parent),
      model_(static_cast<ChangePasswordModel*>(&model())) {
    setObjectName(QStringLiteral("changePasswordSheet"));
    ChangePasswordModel& m = *model_;
    setHeader(QStringLiteral("key.horizontal.fill"), QStringLiteral("Change Password"), m.subtitle());

    QVBoxLayout* group = addGroup();
    QLineEdit* old = passwordField(QStringLiteral("Current password"));
    old->setObjectName(QStringLiteral("oldPassword"));
    QLineEdit* fresh = passwordField(QStringLiteral("New password (min. 6 characters)"));
    fresh->setObjectName(QStringLiteral("newPassword"));
    QLineEdit* confirm = passwordField(QStringLiteral("Confirm new password"));
    confirm->setObjectName(QStringLiteral("confirmPassword"));
    meter_ = new PasswordStrengthView;
    meter_->setObjectName(QStringLiteral("meter"));
    for (QWidget* w : std::initializer_list<QWidget*>{old, fresh, confirm, meter_})
        group->addWidget(w);
    bind(
        old, [&m] { return m.oldPassword(); }, [&m](const QString& v) { m.setOldPassword(v); });
    bind(
        fresh, [&m] { return m.newPassword(); }, [&m](const QString& v) { m.setNewPassword(v); });
    bind(
        confirm, [&m] { return m.confirmPassword(); }, [&m](const QString& v) { m.setConfirmPassword(v); });
    onRefresh([this, &m] { meter_->setPassword(m.newPassword()); });
    QLabel* passwordProblem = caption(QString(), Tone::error, 12);
    passwordProblem->setObjectName(QStringLiteral("passwordMessage"));
    group->addWidget(passwordProblem);
    bindMessage(passwordProblem, [&m] { return m.passwordMessage(); });
    group->addWidget(divider());

    addHintFields(
        group, [&m] { return m.passwordHint(); }, [&m](const QString& v) { m.setPasswordHint(v); },
        [&m] { return m.hintMessage(); });
    QLabel* keychain = caption(QString());
    keychain->setObjectName(QStringLiteral("keychainCaption"));
    group->addWidget(keychain);
    bindMessage(keychain, [&m] { return m.keychainCaption(); });

    addButtons();
    bindPrimary([&m] { return m.primaryLabel(); }, [&m] { return m.canChange(); });
}

// ---- Password action ----

PasswordActionSheet::PasswordActionSheet(SheetServices services, const Vault& vault, PasswordAction action,
                                         QWidget* parent)
    : SheetDialog(new PasswordActionModel(services, vault, std::move(action)), kEditWidth, parent),
      model_(static_cast<PasswordActionModel*>(&model())) {
    setObjectName(QStringLiteral("passwordActionSheet"));
    PasswordActionModel& m = *model_;
    setHeader(QStringLiteral("arrow.down.right.circle.fill"), m.action().title, m.action().caption);

    QVBoxLayout* group = addGroup();
    addPasswordField(group, m, SheetTexts::password);

    addButtons();
    bindPrimary([&m] { return m.primaryLabel(); }, [&m] { return m.canRun(); });
}

// ---- Verify ----

VerifySheet::VerifySheet(SheetServices services, const Vault& vault, QWidget* parent)
    : SheetDialog(new VerifyModel(services, vault), kCheckWidth, parent), model_(static_cast<VerifyModel*>(&model())) {
    setObjectName(QStringLiteral("verifySheet"));
    VerifyModel& m = *model_;
    setHeader(QStringLiteral("checkmark.seal.fill"), m.title(), m.subtitle());

    QVBoxLayout* group = addGroup();
    group->addWidget(caption(m.caption(), Tone::secondary, 12));
    addPasswordField(group, m, SheetTexts::password);

    // Two rows, one per outcome, so that each keeps its own symbol; only one shows at a time.
    QLabel* passed = caption(QString(), Tone::success, 12, QFont::Medium);
    passed->setObjectName(QStringLiteral("resultPassed"));
    QWidget* passedRow = symbolLabel(QStringLiteral("checkmark.circle.fill"), passed, Tone::success);
    QLabel* failed = caption(QString(), Tone::warning, 12, QFont::Medium);
    failed->setObjectName(QStringLiteral("resultFailed"));
    QWidget* failedRow = symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), failed, Tone::warning);
    group->addWidget(passedRow);
    group->addWidget(failedRow);
    bindMessage(
        passed, [&m] { return m.resultOK() ? m.resultText() : std::nullopt; }, passedRow);
    bindMessage(
        failed, [&m] { return m.resultOK() ? std::nullopt : m.resultText(); }, failedRow);

    addButtons();
    bindText(cancelButton(), [&m] { return m.closeLabel(); });
    bindPrimary([&m] { return m.primaryLabel(); }, [&m] { return m.canVerify(); });
}

// ---- Move to Trash ----

DeleteSheet::DeleteSheet(SheetServices services, const Vault& vault, QWidget* parent)
    : SheetDialog(new DeleteModel(services, vault), kCheckWidth, parent), model_(static_cast<DeleteModel*>(&model())) {
    setObjectName(QStringLiteral("deleteSheet"));
    DeleteModel& m = *model_;
    setHeader(QStringLiteral("trash.fill"), m.title(), DeleteModel::subtitle());

    QVBoxLayout* group = addGroup();
    group->addWidget(caption(DeleteModel::warning(), Tone::secondary, 12));
    addPasswordField(group, m, QStringLiteral("Vault password"));
    QLabel* error = caption(QString(), Tone::error, 12);
    error->setObjectName(QStringLiteral("error"));
    QWidget* errorRow = symbolLabel(QStringLiteral("xmark.circle.fill"), error, Tone::error);
    group->addWidget(errorRow);
    bindMessage(
        error, [&m] { return m.errorText(); }, errorRow);

    addButtons(true);
    bindPrimary([&m] { return m.primaryLabel(); }, [&m] { return m.canDelete(); });
}

} // namespace larkhold
