#include "PocketExport.h"

#include "AtomicFile.h"
#include "Glossary.h"
#include "PocketSession.h"
#include "PocketStorage.h"
#include "VaultStore.h"

#include <QDir>
#include <QFileInfo>
#include <QTextBoundaryFinder>

namespace larkhold::PocketExport {

namespace {

// A file name may hold 255 bytes on the file systems this runs on.
constexpr qsizetype kMaxNameBytes = 255;
// Longest tail after the last dot that still counts as an extension worth keeping when cutting.
constexpr qsizetype kMaxExtensionLength = 10;

bool isBidiControl(char32_t c) {
    return c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Control characters (line breaks and NUL among them) and the direction overrides that can make
// "gpj.exe" read as "exe.jpg" become spaces; "/" would start a folder.
QString withoutUnsafeCharacters(const QString& name) {
    QString out;
    out.reserve(name.size());
    for (const char32_t c : name.toUcs4()) {
        if (c == U'/')
            out += QLatin1Char('-');
        else if (QChar::category(c) == QChar::Other_Control || c == 0x2028 || c == 0x2029 || isBidiControl(c))
            out += QLatin1Char(' ');
        else
            out += QString::fromUcs4(&c, 1);
    }
    return out;
}

QString withoutLeadingDots(QString name) {
    name = name.trimmed();
    qsizetype dots = 0;
    while (dots < name.size() && name.at(dots) == QLatin1Char('.'))
        ++dots;
    return name.mid(dots).trimmed();
}

// The longest prefix made of whole characters whose UTF-8 form fits `bytes`.
QString prefixWithin(const QString& text, qsizetype bytes) {
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype next = graphemes.toNextBoundary(); next > 0; next = graphemes.toNextBoundary()) {
        if (text.left(next).toUtf8().size() > bytes)
            break;
        end = next;
    }
    return text.left(end);
}

// Links resolved as far as the path exists: a chosen file may not exist yet, its folder does.
QString resolved(const QString& path) {
    const QFileInfo info(QDir::cleanPath(path));
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.path()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : QDir(folder).filePath(info.fileName());
}

bool isOrIsInside(const QString& path, const QString& other) {
    return path == other || path.startsWith(other + QLatin1Char('/'));
}

bool vaultByName(const QString& name) {
    // ".nosync" is what a vault kept out of cloud sync is called.
    return name.endsWith(QStringLiteral(".pocketvault"), Qt::CaseInsensitive) ||
           name.endsWith(QStringLiteral(".sparsebundle"), Qt::CaseInsensitive) ||
           name.endsWith(QStringLiteral(".nosync"), Qt::CaseInsensitive);
}

QString refusedAsVault(const QString& path) {
    return QStringLiteral("“%1” is a vault. An item can’t be exported over a vault.").arg(QFileInfo(path).fileName());
}

} // namespace

GuardedPlaces guardedPlaces(const VaultStore* store) {
    GuardedPlaces guarded;
    if (!store)
        return guarded;
    for (const Vault& vault : store->vaults())
        if (!vault.bundlePath.isEmpty())
            guarded.vaultFiles.append(vault.bundlePath);
    for (const std::shared_ptr<PocketSession>& session : store->pocketSessions())
        if (session && session->storage())
            guarded.vaultFiles.append(session->storage()->path());
    guarded.mountPoints = store->mountPoints().values();
    return guarded;
}

std::optional<QString> refusal(const QString& path, const GuardedPlaces& guarded) {
    const QString target = resolved(path);
    for (const QString& vaultFile : guarded.vaultFiles) {
        const QString resolvedFile = resolved(vaultFile);
        if (isOrIsInside(target, resolvedFile))
            return refusedAsVault(resolvedFile);
    }
    for (const QString& mountPoint : guarded.mountPoints)
        if (target == resolved(mountPoint))
            return QStringLiteral("“%1” is the volume of an unlocked vault. An item can’t be exported over it.")
                .arg(QFileInfo(mountPoint).fileName());
    // Any vault by its name, and any place inside one (a bundle is a folder).
    for (QString step = target; !step.isEmpty() && step != QLatin1String("/"); step = QFileInfo(step).path()) {
        if (vaultByName(QFileInfo(step).fileName()))
            return refusedAsVault(step);
        if (QFileInfo(step).path() == step)
            break;
    }
    return std::nullopt;
}

std::optional<QString> refusal(const QString& path, const VaultStore* store) {
    return refusal(path, guardedPlaces(store));
}

QString safeFileName(const QString& name, const QString& extension) {
    QString base = withoutLeadingDots(withoutUnsafeCharacters(name));
    if (base.isEmpty())
        base = QStringLiteral("Untitled");
    QString tail = extension;
    if (tail.isEmpty()) {
        // A name that carries its own extension ("IMG_1.jpg") keeps it when the rest is cut.
        const qsizetype dot = base.lastIndexOf(QLatin1Char('.'));
        if (dot > 0 && base.size() - dot - 1 <= kMaxExtensionLength && !base.mid(dot).contains(QLatin1Char(' '))) {
            tail = base.mid(dot);
            base = base.left(dot);
        }
    }
    const qsizetype room = kMaxNameBytes - tail.toUtf8().size();
    if (base.toUtf8().size() > room)
        base = prefixWithin(base, room).trimmed();
    if (base.isEmpty())
        base = QStringLiteral("Untitled");
    return base + tail;
}

QString fileName(const PocketItem& item) {
    return item.kind == PocketItem::Kind::note ? safeFileName(item.name, QStringLiteral(".txt"))
                                               : safeFileName(item.name);
}

QString panelMessage() {
    return QStringLiteral("The exported copy is not encrypted and can leave traces on this %1.")
        .arg(glossary::computer);
}

std::optional<QString> write(const QString& path, ByteView data, const GuardedPlaces& guarded,
                             const std::atomic_bool* abandoned) {
    if (std::optional<QString> refused = refusal(path, guarded))
        return refused;
    if (abandoned && abandoned->load())
        return std::nullopt;
    try {
        writeFileAtomically(path, data, WriteMode::replace);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return std::nullopt;
}

std::optional<QString> write(const QString& path, ByteView data) {
    return write(path, data, guardedPlaces(VaultStore::shared()));
}

QString failureNotice(const QString& itemName, const QString& reason) {
    return QStringLiteral("Could not export “%1”: %2").arg(itemName, reason);
}

} // namespace larkhold::PocketExport
