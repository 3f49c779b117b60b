#include "VaultFileCopy.h"

#include "CloudExclusion.h"
#include "FileWrite.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace larkhold {

namespace {

// A failure of one step; the text is for the user.
struct CopyFailure {
    QString reason;
};

constexpr qint64 kChunk = 1 << 20;

void copyFile(const QString& from, const QString& to) {
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw CopyFailure{in.errorString()};
    QFile out(to);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        throw CopyFailure{out.errorString()};
    std::vector<char> buffer(kChunk);
    while (true) {
        const qint64 got = in.read(buffer.data(), kChunk);
        if (got < 0)
            throw CopyFailure{in.errorString()};
        if (got == 0)
            break;
        for (qint64 done = 0; done < got;) {
            const qint64 n = out.write(buffer.data() + done, got - done);
            if (n <= 0)
                throw CopyFailure{out.errorString()};
            done += n;
        }
    }
    out.setPermissions(in.permissions());
    // On disk before the name is given to it, so the final name never holds half a file.
    if (::fsync(out.handle()) != 0 && errno != EINVAL)
        throw CopyFailure{QString::fromLocal8Bit(std::strerror(errno))};
    out.close();
    if (out.error() != QFileDevice::NoError)
        throw CopyFailure{out.errorString()};
}

// A folder's contents are copied as they are: links stay links (never followed out of the folder)
// and anything that is neither file, folder nor link (a pipe, a device) stops the copy, since
// reading it could block or never end.
void copyTree(const QFileInfo& from, const QString& to) {
    if (from.isSymLink()) {
        // The link's own text, not the resolved path: a relative link stays relative.
        std::vector<char> raw(4096);
        const ssize_t length = ::readlink(QFile::encodeName(from.filePath()).constData(), raw.data(), raw.size());
        if (length < 0 ||
            ::symlink(std::string(raw.data(), std::size_t(length)).c_str(), QFile::encodeName(to).constData()) != 0)
            throw CopyFailure{QString::fromLocal8Bit(std::strerror(errno))};
        return;
    }
    if (from.isDir()) {
        if (!QDir().mkdir(to))
            throw CopyFailure{QStringLiteral("The folder “%1” could not be created.").arg(QFileInfo(to).fileName())};
        const QFileInfoList entries =
            QDir(from.filePath()).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo& entry : entries)
            copyTree(entry, to + QLatin1Char('/') + entry.fileName());
        QFile::setPermissions(to, QFileInfo(from.filePath()).permissions());
        return;
    }
    if (from.isFile()) {
        copyFile(from.filePath(), to);
        return;
    }
    throw CopyFailure{QStringLiteral("“%1” is neither a file nor a folder.").arg(from.fileName())};
}

void removeTree(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

// The top-level entry: a link handed over is copied as what it points to.
void copyEntry(const QString& source, const QString& target) {
    QFileInfo info(source);
    if (info.isSymLink())
        info = QFileInfo(info.symLinkTarget());
    if (!info.exists())
        throw CopyFailure{QStringLiteral("The file doesn’t exist.")};
    copyTree(info, target);
}

} // namespace

bool moveToTrash(const QString& path, QString* reason) {
    QFile file(path);
    if (file.moveToTrash())
        return true;
    if (reason)
        *reason = file.errorString().isEmpty() ? QStringLiteral("The Trash could not take it.") : file.errorString();
    return false;
}

QString freeName(const QString& fileName, const std::function<bool(const QString&)>& taken) {
    if (!taken(fileName))
        return fileName;
    const QFileInfo info(fileName);
    // "archive.tar.gz" is "archive.tar" + "gz": the last extension only, as the number goes before it.
    const QString extension = info.suffix();
    const QString base = extension.isEmpty() ? fileName : fileName.left(fileName.size() - extension.size() - 1);
    for (int n = 2;; ++n) {
        const QString candidate = extension.isEmpty() ? QStringLiteral("%1 %2").arg(base).arg(n)
                                                      : QStringLiteral("%1 %2.%3").arg(base).arg(n).arg(extension);
        if (!taken(candidate))
            return candidate;
    }
}

bool looksLikeVaultByName(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    // ".nosync" is what a vault kept out of cloud sync is called.
    return name.endsWith(QStringLiteral(".pocketvault"), Qt::CaseInsensitive) ||
           name.endsWith(QStringLiteral(".sparsebundle"), Qt::CaseInsensitive) ||
           name.endsWith(QStringLiteral(".nosync"), Qt::CaseInsensitive);
}

bool holdsVaultByName(const QString& folder) {
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (looksLikeVaultByName(it.next()))
            return true;
    }
    return false;
}

FolderCopyResult copyIntoFolder(const QString& folder, const QStringList& sources, bool moveOriginals,
                                const TrashFunction& trash) {
    FolderCopyResult result;
    const QDir dir(folder);
    for (const QString& source : sources) {
        const QString fileName = QFileInfo(source).fileName();
        const QString temporary = dir.filePath(
            QStringLiteral(".larkhold-import-%1.part").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
        try {
            copyEntry(source, temporary);
            // The free name is looked for again when another file takes it between the look and the rename.
            bool placed = false;
            for (int attempt = 0; attempt < 100 && !placed; ++attempt) {
                const QString name = freeName(fileName, [&dir](const QString& candidate) {
                    return QFileInfo::exists(dir.filePath(candidate)) || QFileInfo(dir.filePath(candidate)).isSymLink();
                });
                try {
                    noReplaceRename(temporary, dir.filePath(name));
                    placed = true;
                } catch (const FileMoveError& e) {
                    if (e.errorCode() != EEXIST)
                        throw CopyFailure{e.message()};
                }
            }
            if (!placed)
                throw CopyFailure{QStringLiteral("No free name was found for it.")};
        } catch (const CopyFailure& failure) {
            removeTree(temporary);
            result.failure = QStringLiteral("Could not add %1: %2").arg(fileName, failure.reason);
            return result;
        }
        fileio::syncFolder(QFile::encodeName(folder).toStdString());
        ++result.copied;

        if (moveOriginals) {
            QString reason;
            if (!trash(source, &reason)) {
                result.failure =
                    QStringLiteral("“%1” was copied in, but couldn’t be moved to the Trash: %2").arg(fileName, reason);
                return result;
            }
            ++result.trashed;
        }
    }
    return result;
}

} // namespace larkhold
