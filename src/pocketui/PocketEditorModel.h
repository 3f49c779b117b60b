#pragma once

#include "PocketItem.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

namespace larkhold {

class Defaults;
class PocketDocument;

// A question the editor asks before it acts; the first button performs the action.
struct EditorQuestion {
    QString message;
    QString informativeText;
    QStringList buttons;
};

// What the two-pane item editor shows and does, without widgets. The vault's window and the second
// password setup each run one over their own document.
//
// While read-only (the vault is locking and its last save is under way) every edit is refused, so
// nothing typed then can be wiped unsaved.
class PocketEditorModel : public QObject {
    Q_OBJECT

public:
    // `defaults` holds the photo option; without it photos are optimised.
    PocketEditorModel(PocketDocument& document, Defaults* defaults, QObject* parent = nullptr);
    ~PocketEditorModel() override;

    PocketDocument* document() const;

    // The selected item, or nothing (none selected, or the selection names no item).
    const PocketItem* selectedItem() const;
    // The detail pane's text when no item is shown: "Nothing here yet" or "Select an item".
    std::optional<QString> placeholder() const;
    // Over the empty list.
    bool showsDropHint() const;

    bool readOnly() const { return readOnly_; }
    void setReadOnly(bool readOnly);

    bool optimizePhotos() const;
    Defaults* defaults() const { return defaults_; }
    void setOptimizePhotos(bool on);

    // Edits; each does nothing while read-only and goes through the document's rules otherwise.
    void addNote();
    void addFiles(const QStringList& paths);
    void rename(const QUuid& id, const QString& name);
    void setText(const QUuid& id, const QString& text);
    void deleteItem(const QUuid& id);
    void select(std::optional<QUuid> id);
    void dismissNotice();

    // Export: the proposed file name, and the write to the chosen path (its failure becomes the notice).
    // The write runs on a thread of its own, from a copy of the item wiped once written: the chosen
    // folder may be on a share that no longer answers. An export whose item has left the vault (the
    // item deleted, the vault locked) or whose editor has gone before the write began writes nothing.
    QString exportFileName(const QUuid& id) const;
    void exportItem(const QUuid& id, const QString& path);
    // Exports whose outcome has not come back yet.
    int exportsUnderWay() const { return static_cast<int>(exports_.size()); }

    std::optional<EditorQuestion> deleteQuestion(const QUuid& id) const;

    static QString dropHint();
    static QString optimizeLabel();
    static QString optimizeToolTip();
    static QString addFilesMessage();

signals:
    void readOnlyChanged(bool readOnly);

private:
    struct PendingExport {
        quint64 number;
        QUuid item;
        std::shared_ptr<std::atomic_bool> abandoned;
    };
    void abandonExportsOfGoneItems();

    QPointer<PocketDocument> document_;
    Defaults* defaults_;
    bool readOnly_ = false;
    std::vector<PendingExport> exports_;
    quint64 exportsStarted_ = 0;
};

} // namespace larkhold
