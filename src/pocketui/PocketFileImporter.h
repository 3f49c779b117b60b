#pragma once

#include "PocketDocument.h"

namespace larkhold {

// Turns files into Pocket items for the documents of the application. The windows open their file
// panels themselves, without blocking, and hand the chosen files to the document; the panel calls
// of this interface therefore answer "cancelled".
class PocketFileImporter final : public PocketDocumentHost {
public:
    FileImport fileImport() const override;
    // Every import's decoder goes, another vault's included: imports run one at a time, and
    // another's file then counts as unreadable rather than the stopped one being waited for.
    void stopFileImports() override;
    std::optional<QString> chooseExportPath(const QString& proposedName, const QString& message,
                                            const QString& prompt) override;
    QStringList chooseFilesToAdd(const QString& message, const QString& prompt) override;
};

} // namespace larkhold
