#pragma once

#include <QByteArray>
#include <QVariant>
#include <optional>

namespace larkhold::Plist {

// Reads an XML property list into a QVariant tree: dict → QVariantMap, array → QVariantList,
// string → QString, integer → qint64, real → double, true/false → bool, data → QByteArray,
// date → QDateTime (UTC). Returns nullopt for anything that is not a well-formed property list.
std::optional<QVariant> parse(const QByteArray& xml);

} // namespace larkhold::Plist
