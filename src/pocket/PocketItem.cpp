#include "PocketItem.h"

#include "SecretText.h"

namespace larkhold {

QString PocketItem::text() const {
    // QString::fromUtf8 already turns every invalid sequence into U+FFFD.
    return QString::fromUtf8(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
}

PocketItem PocketItem::note(const QString& name, const QString& text, Date date) {
    PocketItem item;
    item.id = QUuid::createUuid();
    item.name = name;
    item.kind = Kind::note;
    item.created = date;
    item.modified = date;
    item.data = secretUtf8(text);
    return item;
}

QString PocketItem::kindValue(Kind kind) {
    switch (kind) {
    case Kind::note:
        return QStringLiteral("note");
    case Kind::image:
        return QStringLiteral("image");
    case Kind::pdf:
        return QStringLiteral("pdf");
    }
    return {};
}

std::optional<PocketItem::Kind> PocketItem::kindFromValue(QStringView value) {
    for (Kind kind : allKinds)
        if (value == kindValue(kind))
            return kind;
    return std::nullopt;
}

} // namespace larkhold
