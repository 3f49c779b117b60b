#pragma once

#include "PocketItem.h"

#include <QFuture>
#include <QObject>
#include <QPromise>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace larkhold {

// What a Pocket document needs from the windows and the media code: turning a file into an item
// and the two file panels. The document itself has no widgets; the application implements this,
// tests answer from a script.
class PocketDocumentHost {
public:
    virtual ~PocketDocumentHost() = default;

    // Turns the file at a path into an item. Throws a std::exception whose what() is the user's
    // message in UTF-8 when the file cannot become an item.
    using FileImport = std::function<PocketItem(const QString& path, bool optimizePhotos)>;
    // The import runs on a thread of its own, which the file's disk may hold for as long as it does
    // not answer, after the host and the document are gone: it must own everything it touches.
    virtual FileImport fileImport() const = 0;
    // Ends at once whatever the file imports under way wait for (a decoder checking a file), which
    // then fail: called when a lock or a closed window drops an import.
    virtual void stopFileImports() {}

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

    // What an add took: for each file, in order, the item it became (nothing for a file that was
    // not taken), and the notice lines of the files that were not.
    struct Added {
        QList<std::optional<QUuid>> items;
        QStringList problems;
    };
    // Imports the files in order and takes each that still fits; the others become notice lines.
    // The files are read on a thread of their own (they may be on a share that stopped answering),
    // one add after another; the items join the document when all of the add's files are read.
    // Nothing of an add begun before a wipe joins, nor anything once the document is gone; the
    // future then says that no file was taken. It always gets its answer on the document's thread.
    QFuture<Added> add(const QStringList& paths, bool optimizePhotos);
    // Adds whose files are still being read, or waiting for an earlier add.
    int importsUnderWay() const { return static_cast<int>(queuedImports_.size()) + (inFlight_ ? 1 : 0); }
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
    struct ImportRequest {
        QStringList paths;
        bool optimizePhotos;
        std::shared_ptr<QPromise<Added>> answer;
    };
    struct ImportInFlight {
        // The reading thread stops between files once it is true.
        std::shared_ptr<std::atomic_bool> stop;
        ImportRequest request;
    };
    // Answers every add under way or waiting with "nothing taken" and stops the reading.
    void dropImports();
    // One file of an add, read: its item, or why it did not become one.
    struct ImportedFile {
        QString path;
        std::optional<PocketItem> item;
        QString problem;
    };
    void startNextImport();
    Added takeImported(const std::vector<ImportedFile>& files);
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
    std::deque<ImportRequest> queuedImports_;
    std::optional<ImportInFlight> inFlight_;
    // Counts wipes: an add's files read before the latest wipe are dropped.
    quint64 wipes_ = 0;
};

} // namespace larkhold
