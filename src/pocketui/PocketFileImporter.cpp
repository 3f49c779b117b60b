#include "PocketFileImporter.h"

#include "PocketImport.h"

namespace larkhold {

PocketItem PocketFileImporter::importFile(const QString& path, bool optimizePhotos) {
    return PocketImport::item(path, optimizePhotos);
}

std::optional<QString> PocketFileImporter::chooseExportPath(const QString&, const QString&, const QString&) {
    return std::nullopt;
}

QStringList PocketFileImporter::chooseFilesToAdd(const QString&, const QString&) {
    return {};
}

} // namespace larkhold
