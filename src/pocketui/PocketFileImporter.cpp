#include "PocketFileImporter.h"

#include "PocketImport.h"

namespace larkhold {

PocketDocumentHost::FileImport PocketFileImporter::fileImport() const {
    return &PocketImport::item;
}

void PocketFileImporter::stopFileImports() {
    PocketImport::endRunningDecoders();
}

std::optional<QString> PocketFileImporter::chooseExportPath(const QString&, const QString&, const QString&) {
    return std::nullopt;
}

QStringList PocketFileImporter::chooseFilesToAdd(const QString&, const QString&) {
    return {};
}

} // namespace larkhold
