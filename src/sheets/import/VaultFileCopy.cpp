#include "VaultFileCopy.h"

#include "CloudExclusion.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace larkhold {

namespace {

// A failure of one step; the text is for the user.
struct CopyFailure {
    QString reason;
};

// A lock of the vault asked the copy to stop.
struct CopyStopped {};

constexpr qint64 kChunk = 1 << 20;

CopyFailure errnoFailure(int error) {
    return CopyFailure{QString::fromLocal8Bit(std::strerror(error))};
}

std::string localName(const QString& name) {
    return QFile::encodeName(name).toStdString();
}

void checkStop(const std::atomic_bool* stop) {
    if (stop && stop->load())
        throw CopyStopped{};
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting the error a deferred write may only show here.
    int closeNow() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

private:
    int fd_;
};

void writeAll(int fd, const char* data, qint64 size) {
    for (qint64 done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, std::size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw errnoFailure(n < 0 ? errno : ENOSPC);
        done += n;
    }
}

void copyFile(const QString& from, int folder, const std::string& name, const std::atomic_bool* stop) {
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw CopyFailure{in.errorString()};
    struct stat source {};
    if (::fstat(in.handle(), &source) != 0)
        throw errnoFailure(errno);
    Descriptor out(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0)
        throw errnoFailure(errno);
    std::vector<char> buffer(kChunk);
    while (true) {
        checkStop(stop);
        const qint64 got = in.read(buffer.data(), kChunk);
        if (got < 0)
            throw CopyFailure{in.errorString()};
        if (got == 0)
            break;
        writeAll(out.get(), buffer.data(), got);
    }
    ::fchmod(out.get(), source.st_mode & 0777);
    // On disk before the name is given to it, so the final name never holds half a file.
    if (::fsync(out.get()) != 0 && errno != EINVAL)
        throw errnoFailure(errno);
    if (out.closeNow() != 0)
        throw errnoFailure(errno);
}

// A folder's contents are copied as they are: links stay links (never followed out of the folder)
// and anything that is neither file, folder nor link (a pipe, a device) stops the copy, since
// reading it could block or never end.
void copyTree(const QFileInfo& from, int folder, const std::string& name, const std::atomic_bool* stop) {
    checkStop(stop);
    if (from.isSymLink()) {
        // The link's own text, not the resolved path: a relative link stays relative.
        std::vector<char> raw(4096);
        const ssize_t length = ::readlink(QFile::encodeName(from.filePath()).constData(), raw.data(), raw.size());
        if (length < 0 || ::symlinkat(std::string(raw.data(), std::size_t(length)).c_str(), folder, name.c_str()) != 0)
            throw errnoFailure(errno);
        return;
    }
    if (from.isDir()) {
        if (::mkdirat(folder, name.c_str(), 0700) != 0)
            throw CopyFailure{QStringLiteral("The folder “%1” could not be created.")
                                  .arg(QFile::decodeName(QByteArray::fromStdString(name)))};
        Descriptor inside(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (inside.get() < 0)
            throw errnoFailure(errno);
        const QFileInfoList entries =
            QDir(from.filePath()).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo& entry : entries)
            copyTree(entry, inside.get(), localName(entry.fileName()), stop);
        struct stat source {};
        if (::stat(QFile::encodeName(from.filePath()).constData(), &source) == 0)
            ::fchmod(inside.get(), source.st_mode & 0777);
        // The entries of what it holds are on disk too before the originals may go to the Trash.
        if (::fsync(inside.get()) != 0 && errno != EINVAL)
            throw errnoFailure(errno);
        return;
    }
    if (from.isFile()) {
        copyFile(from.filePath(), folder, name, stop);
        return;
    }
    throw CopyFailure{QStringLiteral("“%1” is neither a file nor a folder.").arg(from.fileName())};
}

void removeTree(int folder, const std::string& name) {
    struct stat entry {};
    if (::fstatat(folder, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(entry.st_mode)) {
        ::unlinkat(folder, name.c_str(), 0);
        return;
    }
    const int inside = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inside >= 0) {
        if (DIR* listing = ::fdopendir(inside)) {
            std::vector<std::string> names;
            while (const dirent* child = ::readdir(listing)) {
                const std::string childName = child->d_name;
                if (childName != "." && childName != "..")
                    names.push_back(childName);
            }
            for (const std::string& childName : names)
                removeTree(::dirfd(listing), childName);
            ::closedir(listing);
        } else {
            ::close(inside);
        }
    }
    ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
}

// The top-level entry: a link handed over is copied as what it points to.
void copyEntry(const QString& source, int folder, const std::string& name, const std::atomic_bool* stop) {
    QFileInfo info(source);
    if (info.isSymLink())
        info = QFileInfo(info.symLinkTarget());
    if (!info.exists())
        throw CopyFailure{QStringLiteral("The file doesn’t exist.")};
    copyTree(info, folder, name, stop);
}

// Gives the temporary entry its final name unless that name is taken; false when it is.
bool placeUnder(int folder, const std::string& temporary, const std::string& name) {
    try {
        noReplaceRenameAt(folder, QFile::decodeName(QByteArray::fromStdString(temporary)),
                          QFile::decodeName(QByteArray::fromStdString(name)));
        return true;
    } catch (const FileMoveError& e) {
        if (e.errorCode() == EEXIST)
            return false;
        throw errnoFailure(e.errorCode());
    }
}

// The folder opened for the copy and what it was when opened.
struct OpenedFolder {
    std::string path;
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

// Whether the open folder is still what the copy may write into: still at its path and, for a
// vault's volume, still the root of a mount (an unmount leaves a host folder at the path).
bool stillTheTarget(const OpenedFolder& folder, TargetFolder target) {
    struct stat atPath {};
    if (::stat(folder.path.c_str(), &atPath) != 0 || atPath.st_dev != folder.device || atPath.st_ino != folder.inode)
        return false;
    if (target != TargetFolder::mountedVolume)
        return true;
    struct statx self {};
    if (::statx(folder.fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &self) == 0 &&
        (self.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
        return (self.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    // An older kernel: a mount's root lies on another device than the folder above it.
    struct stat parent {};
    return ::fstatat(folder.fd, "..", &parent, 0) == 0 && parent.st_dev != folder.device;
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
                                const TrashFunction& trash, const std::atomic_bool* stop, TargetFolder target) {
    FolderCopyResult result;
    OpenedFolder opened;
    opened.path = localName(folder);
    Descriptor held(::open(opened.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    opened.fd = held.get();
    struct stat info {};
    if (opened.fd < 0 || ::fstat(opened.fd, &info) != 0) {
        result.stopped = true;
        return result;
    }
    opened.device = info.st_dev;
    opened.inode = info.st_ino;

    for (const QString& source : sources) {
        if ((stop && stop->load()) || !stillTheTarget(opened, target)) {
            result.stopped = true;
            return result;
        }
        const QString fileName = QFileInfo(source).fileName();
        const std::string temporary = localName(
            QStringLiteral(".larkhold-import-%1.part").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
        try {
            copyEntry(source, opened.fd, temporary, stop);
            // The free name is looked for again when another file takes it between the look and the rename.
            bool placed = false;
            for (int attempt = 0; attempt < 100 && !placed; ++attempt) {
                const QString name = freeName(fileName, [&opened](const QString& candidate) {
                    struct stat entry {};
                    return ::fstatat(opened.fd, localName(candidate).c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0;
                });
                placed = placeUnder(opened.fd, temporary, localName(name));
            }
            if (!placed)
                throw CopyFailure{QStringLiteral("No free name was found for it.")};
        } catch (const CopyStopped&) {
            removeTree(opened.fd, temporary);
            result.stopped = true;
            return result;
        } catch (const CopyFailure& failure) {
            removeTree(opened.fd, temporary);
            result.failure = QStringLiteral("Could not add %1: %2").arg(fileName, failure.reason);
            return result;
        }
        ++result.copied;
        // The copy's name is on disk before its original may go: a folder entry the vault's disk
        // could not take leaves the original where it was.
        if (::fsync(opened.fd) != 0 && errno != EINVAL) {
            if (moveOriginals)
                result.failure = QStringLiteral("“%1” was copied in, but its original was kept: the copy could not "
                                                "be written to the vault’s disk.")
                                     .arg(fileName);
            else
                result.failure = QStringLiteral("“%1” was copied in, but could not be written to the vault’s disk.")
                                     .arg(fileName);
            return result;
        }

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
