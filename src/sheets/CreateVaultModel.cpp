#include "CreateVaultModel.h"

#include "ByteCount.h"
#include "CloudExclusion.h"
#include "FileLook.h"
#include "SheetRules.h"
#include "SheetTexts.h"
#include "VaultSizeModel.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>

namespace larkhold {

CreateVaultModel::CreateVaultModel(SheetServices services, QObject* parent)
    : SheetModel(services, parent), directory_(defaultDirectory()) {
    lookAtFolder();
}

void CreateVaultModel::setDirectory(const QString& directory) {
    if (directory == directory_)
        return;
    directory_ = directory;
    lookAtFolder();
    emit changed();
}

void CreateVaultModel::lookAtFolder() {
    // Resolving the folder and reading the sync clients' settings may wait on a share that stopped
    // answering; a folder that does not answer in time gets no warning.
    constexpr std::chrono::milliseconds deadline{3000};
    const quint64 look = ++folderLooks_;
    folderSync_.reset();
    lookOffThread<FolderSync>(
        this,
        [directory = directory_] {
            return FolderSync{CloudExclusion::isInsideICloudDrive(directory),
                              CloudExclusion::thirdPartySyncService(directory)};
        },
        deadline, FolderSync{},
        [this, look](FolderSync found) {
            if (look != folderLooks_)
                return;
            folderSync_ = std::move(found);
            emit changed();
        });
}

CreateVaultModel::~CreateVaultModel() {
    wipeText(password_);
    wipeText(confirmPassword_);
}

QString CreateVaultModel::defaultDirectory() {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return !documents.isEmpty() && QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

void CreateVaultModel::setPocketSizeMB(int sizeMB) {
    if (std::find(kPocketSizesMB.begin(), kPocketSizesMB.end(), sizeMB) != kPocketSizesMB.end())
        assign(pocketSizeMB_, sizeMB);
}

QString CreateVaultModel::trimmedName() const {
    return trimmedVaultName(name_);
}

QString CreateVaultModel::subtitle() const {
    return kind_ == VaultKind::pocket ? QStringLiteral("A small encrypted vault that opens inside Larkhold")
                                      : QStringLiteral("An encrypted folder only you can open");
}

QString CreateVaultModel::primaryLabel() const {
    return creating() ? QStringLiteral("Creating…") : QStringLiteral("Create Vault");
}

std::optional<QString> CreateVaultModel::validationMessage() const {
    const QString name = trimmedName();
    if (name.isEmpty())
        return std::nullopt;
    if (std::optional<QString> problem = vaultNameProblem(name))
        return problem;
    if (!password_.isEmpty() && !isLongEnoughPassword(password_))
        return SheetTexts::passwordTooShort;
    if (holdsZeroCharacter(password_))
        return SheetTexts::passwordHoldsZeroCharacter;
    if (!confirmPassword_.isEmpty() && !sameText(confirmPassword_, password_))
        return SheetTexts::passwordsDiffer;
    return passwordHintValidationMessage(passwordHint_, password_);
}

bool CreateVaultModel::canCreate() const {
    return !trimmedName().isEmpty() && isUsableNewPassword(password_) && sameText(password_, confirmPassword_) &&
           (kind_ == VaultKind::pocket || maxSizeMB_ >= VaultSizeModel::kSmallestMB) && !creating() &&
           !validationMessage();
}

std::optional<QString> CreateVaultModel::cloudWarning() const {
    if (excludeFromCloud_ || !folderSync_ || !folderSync_->desktopCloud)
        return std::nullopt;
    return QStringLiteral("This location syncs with ") + glossary::cloudSync +
           QStringLiteral(" — the encrypted vault file would be uploaded.");
}

std::optional<QString> CreateVaultModel::syncServiceWarning() const {
    if (kind_ != VaultKind::pocket)
        return std::nullopt;
    const std::optional<QString> service = folderSync_ ? folderSync_->service : std::nullopt;
    if (!service)
        return std::nullopt;
    return QStringLiteral("This folder syncs with ") + *service +
           QStringLiteral(", which keeps copies of every version. Choose a folder that isn’t synced.");
}

QString CreateVaultModel::lostPasswordWarning() {
    return QStringLiteral("If you forget the password and it isn’t in your ") + glossary::keyring +
           QStringLiteral(", the contents cannot be recovered by anyone.");
}

QString CreateVaultModel::sizeCaption() {
    return QStringLiteral("The vault only occupies the space of the files inside — this is the limit it can grow to. "
                          "You can raise it later.");
}

QString CreateVaultModel::pocketCaption() {
    return QStringLiteral("For notes, photos and PDFs (up to ") + formatByteCount(kPocketFileLimit) +
           QStringLiteral(" each), opened inside Larkhold — never ") + SheetTexts::inTheFileManager +
           QStringLiteral(". The file takes about twice this size on disk, is kept out of ") + glossary::backups +
           QStringLiteral(", and its size can’t be changed later. Need more than 50 MB? Use a Standard Vault.");
}

QString CreateVaultModel::pocketSizeLabel(int sizeMB) {
    return QString::number(sizeMB) + QStringLiteral(" MB");
}

bool CreateVaultModel::create() {
    if (!canCreate())
        return false;
    setWorking(true);
    const std::optional<QString> hint = normalizedPasswordHint(passwordHint_);
    closeOnSuccess(kind_ == VaultKind::pocket
                       ? store().createPocketVault(trimmedName(), directory_, pocketSizeMB_, password_, saveToKeychain_,
                                                   excludeFromCloud_, hint)
                       : store().createStandardVault(trimmedName(), directory_, maxSizeMB_, password_, saveToKeychain_,
                                                     excludeFromCloud_, hint),
                   password_);
    return true;
}

} // namespace larkhold
