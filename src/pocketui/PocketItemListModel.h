#pragma once

#include "PocketItem.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QUuid>
#include <optional>

namespace larkhold {

class PocketDocument;

// The rows of the editor's sidebar: one per item of a Pocket document, in its order.
//
// Edits of one item (a keystroke in a note, a new name) only refresh the rows; adding, deleting
// or wiping resets the list. The model holds no item data of its own, so a wiped document leaves
// nothing behind here.
class PocketItemListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1, // QUuid
        SizeTextRole,              // "12 KB"
        KindRole,                  // int(PocketItem::Kind)
        SymbolRole,                // the symbol name of the kind
    };

    explicit PocketItemListModel(PocketDocument* document, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    QModelIndex indexOf(const QUuid& id) const;
    std::optional<QUuid> idAt(int row) const;

    // "Untitled" for an item without a name.
    static QString displayName(const PocketItem& item);
    static QString symbolName(PocketItem::Kind kind);

private:
    void documentChanged();

    QPointer<PocketDocument> document_;
    QList<QUuid> ids_;
};

} // namespace larkhold
