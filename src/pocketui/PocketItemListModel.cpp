#include "PocketItemListModel.h"

#include "ByteCount.h"
#include "PocketDocument.h"

namespace larkhold {

PocketItemListModel::PocketItemListModel(PocketDocument* document, QObject* parent)
    : QAbstractListModel(parent), document_(document) {
    if (document_) {
        for (const PocketItem& item : document_->items())
            ids_.append(item.id);
        connect(document_, &PocketDocument::itemsChanged, this, &PocketItemListModel::documentChanged);
    }
}

void PocketItemListModel::documentChanged() {
    QList<QUuid> ids;
    if (document_)
        for (const PocketItem& item : document_->items())
            ids.append(item.id);
    if (ids == ids_) {
        if (!ids_.isEmpty())
            emit dataChanged(index(0), index(static_cast<int>(ids_.size()) - 1));
        return;
    }
    beginResetModel();
    ids_ = std::move(ids);
    endResetModel();
}

int PocketItemListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(ids_.size());
}

QVariant PocketItemListModel::data(const QModelIndex& index, int role) const {
    if (!document_ || !index.isValid() || index.row() >= ids_.size())
        return {};
    const PocketItem* item = document_->item(ids_.at(index.row()));
    if (!item)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return displayName(*item);
    case IdRole:
        return item->id;
    case SizeTextRole:
        return formatByteCount(static_cast<std::int64_t>(item->data.size()));
    case KindRole:
        return static_cast<int>(item->kind);
    case SymbolRole:
        return symbolName(item->kind);
    default:
        return {};
    }
}

QHash<int, QByteArray> PocketItemListModel::roleNames() const {
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert(IdRole, "itemId");
    names.insert(SizeTextRole, "sizeText");
    names.insert(KindRole, "kind");
    names.insert(SymbolRole, "symbol");
    return names;
}

QModelIndex PocketItemListModel::indexOf(const QUuid& id) const {
    const qsizetype row = ids_.indexOf(id);
    return row < 0 ? QModelIndex() : index(static_cast<int>(row));
}

std::optional<QUuid> PocketItemListModel::idAt(int row) const {
    if (row < 0 || row >= ids_.size())
        return std::nullopt;
    return ids_.at(row);
}

QString PocketItemListModel::displayName(const PocketItem& item) {
    return item.name.isEmpty() ? QStringLiteral("Untitled") : item.name;
}

QString PocketItemListModel::symbolName(PocketItem::Kind kind) {
    switch (kind) {
    case PocketItem::Kind::note:
        return QStringLiteral("note.text");
    case PocketItem::Kind::image:
        return QStringLiteral("photo");
    case PocketItem::Kind::pdf:
        return QStringLiteral("doc.richtext");
    }
    return {};
}

} // namespace larkhold
