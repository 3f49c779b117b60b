#pragma once

#include "PocketItem.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <cstdint>
#include <functional>
#include <optional>

namespace larkhold {

// What a Pocket document needs from the windows and the media code: turning a file into an item
// and the two file panels. The document itself has no widgets; the application implements this,
// tests answer from a script.
class PocketDocumentHost {
public:
    virtual ~PocketDocumentHost() = default;

    // The item for the file at `path`. Throws a std::exception whose what() is the user's message
    // in UTF-8 when the file cannot become an item.
    virtual PocketItem importFile(const QString& path, bool optimizePhotos) = 0;

    // A modal save panel proposing `proposedName`; the chosen path, or nothing when cancelled.
    virtual std::optional<QString> chooseExportPath(const QString& proposedName, const QString& message,
                                                    const QString& prompt) = 0;

    // A modal open panel for notes, photos and PDFs, several at once; empty when cancelled.
    virtual QStringList chooseFilesToAdd(const QString& message, const QString& prompt) = 0;

protected:
    PocketDocumentHost() = default;
    PocketDocumentHost(const PocketDocumentHost&) = default;
    PocketDocumentHost& operator=(const PocketDocumentHost&) = default;
};

// The decrypted items of one open Pocket Vault area, as they stand now, edits included.
//
// Every change goes through one commit step that refuses a list that would not fit into the area,
// so the list can always be saved as it is. Lives on the main thread.
class PocketDocument : public QObject {
    Q_OBJECT

public:
    PocketDocument(PocketItems items, std::int64_t capacity, PocketDocumentHost* host = nullptr,
                   QObject* parent = nullptr);
    ~PocketDocument() override;

    const PocketItems& items() const { return items_; }
    const PocketItem* item(const QUuid& id) const;
    std::optional<QUuid> selection() const { return selection_; }
    void setSelection(std::optional<QUuid> id);
    // A one-off message for the editor; none when there is nothing to say.
    const std::optional<QString>& notice() const { return notice_; }
    void setNotice(std::optional<QString> notice);
    std::int64_t capacity() const { return capacity_; }

    // Called after every change that was taken. The session installs it; wipe() drops it.
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }
    bool hasOnChange() const { return static_cast<bool>(onChange_); }

    // Imports the files in order and takes each that still fits; the others become notice lines.
    void add(const QStringList& paths, bool optimizePhotos);
    void addNote();
    void rename(const QUuid& id, const QString& newName);
    void setText(const QUuid& id, const QString& text);
    void deleteItem(const QUuid& id);
    // Lets the decrypted items leave memory; later edits no longer reach the owner.
    void wipe();
    // Writes an unencrypted copy of the item where the user chooses.
    void exportItem(const QUuid& id);
    void chooseFiles(bool optimizePhotos);

signals:
    void itemsChanged();
    void selectionChanged();
    void noticeChanged();

private:
    bool commit(PocketItems candidate);
    // For edits of one item: applies `swapFields`, and calls it again to undo when the result does
    // not fit. A keystroke in a note thus never copies every item of the vault.
    bool commitEdit(const std::function<void()>& swapFields);
    void announceChange();
    std::optional<std::size_t> indexOf(const QUuid& id) const;

    PocketItems items_;
    std::optional<QUuid> selection_;
    std::optional<QString> notice_;
    const std::int64_t capacity_;
    std::function<void()> onChange_;
    PocketDocumentHost* host_;
};

} // namespace larkhold
