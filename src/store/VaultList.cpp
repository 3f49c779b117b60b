#include "VaultList.h"

#include "AtomicFile.h"
#include "CloudExclusion.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <cerrno>

namespace larkhold {

namespace {

bool existsOrDangles(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The list says where every vault lives and holds the password hints; a folder we create for it is the
// owner's alone. A folder that already exists keeps the permissions its owner gave it.
void createOwnerOnlyFolder(const QString& folder) {
    if (!existsOrDangles(folder) && QDir().mkpath(folder))
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

QString VaultList::defaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u'/' +
           QString::fromLatin1(kFolderName);
}

VaultList::VaultList(QString folder) : folder_(std::move(folder)) {}

QString VaultList::filePath() const {
    return folder_ + u'/' + QString::fromLatin1(kFileName);
}

void VaultList::adoptPredecessorFolder() const {
    if (existsOrDangles(folder_))
        return;
    const QString predecessor = QFileInfo(folder_).absoluteDir().filePath(QString::fromLatin1(kPredecessorFolderName));
    if (!QFileInfo(predecessor).isDir())
        return;
    try {
        noReplaceRename(predecessor, folder_);
    } catch (const FileMoveError&) {
        // Without the old folder we start afresh; the predecessor's files stay where they were.
    }
}

void VaultList::prepareFolder() const {
    adoptPredecessorFolder();
    createOwnerOnlyFolder(folder_);
}

VaultListLoad VaultList::load() {
    prepareFolder();

    const QString path = filePath();
    if (!existsOrDangles(path))
        return {};

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, setAside(QStringLiteral("it could not be opened: %1").arg(file.errorString()))};
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {{}, setAside(QStringLiteral("it could not be read: %1").arg(file.errorString()))};

    QString why;
    auto vaults = decode(data, &why);
    if (!vaults)
        return {{}, setAside(why)};
    return {std::move(*vaults), {}};
}

// The list is the only record of where the user's vaults are. Starting empty is the best we can
// do, but the next save must not destroy the file: it may hold a record that a later version
// or a careful hand can still recover.
QString VaultList::setAside(const QString& reason) {
    const QString path = filePath();
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString base = path + QStringLiteral(".unreadable-") + stamp;
    QString moveFailure;
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const QString aside = attempt == 1 ? base : base + u'-' + QString::number(attempt);
        try {
            noReplaceRename(path, aside);
            return QStringLiteral("Larkhold could not read its list of vaults (%1), so the list starts empty. "
                                  "The old file was kept as “%2” in %3. Your vault files are untouched; add "
                                  "them to the list again.")
                .arg(reason, QFileInfo(aside).fileName(), folder_);
        } catch (const FileMoveError& e) {
            moveFailure = e.message();
            if (e.errorCode() != EEXIST)
                break;
        }
    }
    saveBlockedReason_ = QStringLiteral("Changes to the list of vaults are not saved, so that the unreadable file "
                                        "“%1” is kept. Move or repair that file, then restart Larkhold.")
                             .arg(path);
    return QStringLiteral("Larkhold could not read its list of vaults (%1) and could not set the file aside (%2), "
                          "so the list starts empty. %3")
        .arg(reason, moveFailure, saveBlockedReason_);
}

std::optional<QString> VaultList::save(const QList<Vault>& vaults) const {
    if (!saveBlockedReason_.isEmpty())
        return saveBlockedReason_;
    const QByteArray data = encode(vaults);
    // Removed while we ran: the list is written again rather than lost.
    createOwnerOnlyFolder(folder_);
    try {
        writeFileAtomically(
            filePath(),
            ByteView(reinterpret_cast<const std::uint8_t*>(data.constData()), static_cast<std::size_t>(data.size())),
            WriteMode::replace);
    } catch (const std::exception& e) {
        return QStringLiteral("The list of vaults could not be saved: %1").arg(QString::fromUtf8(e.what()));
    }
    return std::nullopt;
}

QByteArray VaultList::encode(const QList<Vault>& vaults) {
    QJsonArray array;
    for (const Vault& v : vaults)
        array.append(v.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

std::optional<QList<Vault>> VaultList::decode(const QByteArray& data, QString* whyNot) {
    auto failed = [whyNot](const QString& reason) -> std::optional<QList<Vault>> {
        if (whyNot)
            *whyNot = reason;
        return std::nullopt;
    };
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        return failed(QStringLiteral("it is not valid JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset));
    if (!doc.isArray())
        return failed(QStringLiteral("it does not hold a list"));
    const QJsonArray array = doc.array();
    QList<Vault> vaults;
    vaults.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        QString why;
        auto v = Vault::fromJson(array.at(i), &why);
        if (!v)
            return failed(QStringLiteral("entry %1: %2").arg(i + 1).arg(why));
        vaults.append(std::move(*v));
    }
    return vaults;
}

} // namespace larkhold
