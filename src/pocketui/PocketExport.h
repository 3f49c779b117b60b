#pragma once

#include "PocketItem.h"

#include <QString>
#include <QStringList>
#include <atomic>
#include <optional>

namespace larkhold {
class VaultStore;
}

namespace larkhold::PocketExport {

// The file name the save panel proposes for an item: its name, ".txt" added for a note, made into
// one safe file name. An item name is decrypted user text and may hold anything: a "/" would make
// it a path, a control character an unreadable name, a leading "." a hidden file, and a long name
// one the file system refuses. "/" becomes "-", control characters become spaces, leading dots and
// surrounding white space go, an empty result is "Untitled", and the whole name is cut (keeping
// its extension and whole characters) to the 255 bytes a file name may have.
QString fileName(const PocketItem& item);
QString safeFileName(const QString& name, const QString& extension = {});

// The save panel's message.
QString panelMessage();

// The places an item must not be written over, as the store knows them: every vault file it lists
// or has open, and every unlocked vault's volume. Read on the store's thread; touches no file.
struct GuardedPlaces {
    QStringList vaultFiles;
    QStringList mountPoints;
};
GuardedPlaces guardedPlaces(const VaultStore* store);

// Why an item must not be written at `path`, naming what is there: a vault file (one the store
// lists or has open, any by its name, or a place inside a vault bundle) or an unlocked vault's
// volume. Replacing it would destroy the vault. Nothing when the path may take the item; `store`
// may be null, and then only names are looked at. Resolves links: may wait on a slow disk.
std::optional<QString> refusal(const QString& path, const GuardedPlaces& guarded);
std::optional<QString> refusal(const QString& path, const VaultStore* store);

// Writes all of `data` to `path` as every file of the vaults is written (writeFileAtomically): an
// interrupted export leaves the earlier file (or none), never part of this one, and the copy is
// readable by its owner only. Refuses what refusal() refuses. Nothing on success, else the reason
// for the user. When `abandoned` is set by the time the path has been looked at, nothing is
// written and nothing is returned. Safe on any thread.
std::optional<QString> write(const QString& path, ByteView data, const GuardedPlaces& guarded,
                             const std::atomic_bool* abandoned = nullptr);
// The same, guarded by the application's store; on the store's thread only.
std::optional<QString> write(const QString& path, ByteView data);

// The notice shown when an export failed.
QString failureNotice(const QString& itemName, const QString& reason);

} // namespace larkhold::PocketExport
