#pragma once

#include "PocketDocument.h"

namespace larkhold {

// Turns files into Pocket items for the documents of the application. The windows open their file
// panels themselves, without blocking, and hand the chosen files to the document; the panel calls
// of this interface therefore answer "cancelled".
class PocketFileImporter final : public PocketDocumentHost {
public:
    FileImport fileImport() const override;
    std::optional<QString> chooseExportPath(const QString& proposedName, const QString& message,
                                            const QString& prompt) override;
    QStringList chooseFilesToAdd(const QString& message, const QString& prompt) override;
};

} // namespace larkhold
