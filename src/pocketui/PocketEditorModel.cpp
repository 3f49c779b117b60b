#include "PocketEditorModel.h"

#include "ByteCount.h"
#include "Defaults.h"
#include "FileLook.h"
#include "PocketDocument.h"
#include "PocketExport.h"
#include "PocketImport.h"
#include "PocketItemListModel.h"
#include "SettingsKeys.h"
#include "VaultStore.h"

namespace larkhold {

PocketEditorModel::PocketEditorModel(PocketDocument& document, Defaults* defaults, QObject* parent)
    : QObject(parent), document_(&document), defaults_(defaults) {
    connect(&document, &PocketDocument::itemsChanged, this, &PocketEditorModel::abandonExportsOfGoneItems);
}

PocketEditorModel::~PocketEditorModel() {
    for (const PendingExport& pending : exports_)
        pending.abandoned->store(true);
}

PocketDocument* PocketEditorModel::document() const {
    return document_;
}

const PocketItem* PocketEditorModel::selectedItem() const {
    if (!document_ || !document_->selection())
        return nullptr;
    return document_->item(*document_->selection());
}

std::optional<QString> PocketEditorModel::placeholder() const {
    if (selectedItem())
        return std::nullopt;
    if (!document_ || document_->items().empty())
        return QStringLiteral("Nothing here yet");
    return QStringLiteral("Select an item");
}

bool PocketEditorModel::showsDropHint() const {
    return !document_ || document_->items().empty();
}

void PocketEditorModel::setReadOnly(bool readOnly) {
    if (readOnly == readOnly_)
        return;
    readOnly_ = readOnly;
    emit readOnlyChanged(readOnly);
}

bool PocketEditorModel::optimizePhotos() const {
    return defaults_ ? defaults_->boolValue(SettingsKeys::pocketOptimizePhotos) : true;
}

void PocketEditorModel::setOptimizePhotos(bool on) {
    if (defaults_)
        defaults_->setValue(SettingsKeys::pocketOptimizePhotos, on);
}

void PocketEditorModel::addNote() {
    if (document_ && !readOnly_)
        document_->addNote();
}

void PocketEditorModel::addFiles(const QStringList& paths) {
    // The photo option is read now, when the files arrive, not when the drag or panel began.
    if (document_ && !readOnly_)
        document_->add(paths, optimizePhotos());
}

void PocketEditorModel::rename(const QUuid& id, const QString& name) {
    if (document_ && !readOnly_)
        document_->rename(id, name);
}

void PocketEditorModel::setText(const QUuid& id, const QString& text) {
    if (document_ && !readOnly_)
        document_->setText(id, text);
}

void PocketEditorModel::deleteItem(const QUuid& id) {
    if (document_ && !readOnly_)
        document_->deleteItem(id);
}

void PocketEditorModel::select(std::optional<QUuid> id) {
    if (document_)
        document_->setSelection(id);
}

void PocketEditorModel::dismissNotice() {
    if (document_)
        document_->setNotice(std::nullopt);
}

QString PocketEditorModel::exportFileName(const QUuid& id) const {
    const PocketItem* item = document_ ? document_->item(id) : nullptr;
    return item ? PocketExport::fileName(*item) : QString();
}

void PocketEditorModel::exportItem(const QUuid& id, const QString& path) {
    // Found again: the panel stayed open while the vault went on, and may have locked meanwhile.
    const PocketItem* item = document_ ? document_->item(id) : nullptr;
    if (!item)
        return;
    const quint64 number = ++exportsStarted_;
    auto abandoned = std::make_shared<std::atomic_bool>(false);
    exports_.push_back({number, id, abandoned});
    // The thread's own copy: locking wipes the document's items while the write may still wait.
    auto data = std::make_shared<SecureBytes>(item->data);
    lookOffThread<std::optional<QString>>(
        this,
        [path, data, abandoned, guarded = PocketExport::guardedPlaces(VaultStore::shared())] {
            std::optional<QString> failure = PocketExport::write(path, ByteView(*data), guarded, abandoned.get());
            SecureBytes().swap(*data);
            return failure;
        },
        [this, number, name = item->name](std::optional<QString> failure) {
            std::erase_if(exports_, [number](const PendingExport& pending) { return pending.number == number; });
            if (failure && document_)
                document_->setNotice(PocketExport::failureNotice(name, *failure));
        });
}

void PocketEditorModel::abandonExportsOfGoneItems() {
    for (const PendingExport& pending : exports_)
        if (!document_ || !document_->item(pending.item))
            pending.abandoned->store(true);
}

std::optional<EditorQuestion> PocketEditorModel::deleteQuestion(const QUuid& id) const {
    const PocketItem* item = document_ ? document_->item(id) : nullptr;
    if (!item)
        return std::nullopt;
    return EditorQuestion{QStringLiteral("Delete “%1”?").arg(PocketItemListModel::displayName(*item)),
                          QStringLiteral("It is removed from the vault. This can’t be undone."),
                          {QStringLiteral("Delete"), QStringLiteral("Cancel")}};
}

QString PocketEditorModel::dropHint() {
    return QStringLiteral("Drop notes, photos or PDFs here");
}

QString PocketEditorModel::optimizeLabel() {
    return QStringLiteral("Optimize photos");
}

QString PocketEditorModel::optimizeToolTip() {
    return QStringLiteral("Resizes photos to %1 px on the long side. Location and camera details are always removed.")
        .arg(PocketImport::kOptimizedLongSide);
}

QString PocketEditorModel::addFilesMessage() {
    return QStringLiteral("Notes (text files), photos (JPEG, PNG, HEIC) and PDFs — up to %1 each")
        .arg(formatByteCount(PocketImport::kLimitBytes));
}

} // namespace larkhold
