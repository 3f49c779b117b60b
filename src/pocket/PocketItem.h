#pragma once

#include "Date.h"
#include "SecureBytes.h"

#include <QString>
#include <QUuid>
#include <array>
#include <optional>
#include <vector>

namespace larkhold {

// One item of a Pocket Vault: a text note, a photo or a PDF. The data is secret and lives in
// wiped memory; it exists only while the vault is open.
struct PocketItem {
    enum class Kind { note, image, pdf };
    static constexpr std::array<Kind, 3> allKinds{Kind::note, Kind::image, Kind::pdf};

    QUuid id;
    QString name;
    Kind kind = Kind::note;
    Date created;
    Date modified;
    SecureBytes data;

    // The data as UTF-8; invalid sequences show as U+FFFD instead of failing.
    QString text() const;

    // A new note with a fresh id, created and modified at `date`.
    static PocketItem note(const QString& name, const QString& text, Date date);

    // The stored value of a kind ("note", "image", "pdf") and back.
    static QString kindValue(Kind kind);
    static std::optional<Kind> kindFromValue(QStringView value);

    friend bool operator==(const PocketItem&, const PocketItem&) = default;
};

using PocketItems = std::vector<PocketItem>;

} // namespace larkhold
