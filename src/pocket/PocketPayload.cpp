#include "PocketPayload.h"

#include "PocketVaultError.h"
#include "UuidText.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

namespace larkhold::PocketPayload {

namespace {

constexpr std::size_t kHeaderSize = 8;

// Names come from file names, which on Linux may hold bytes that are not UTF-8 and reach us as
// unpaired surrogates. Written as they are, they would make the manifest unreadable and with it
// the whole area, so they become U+FFFD here.
QString wellFormed(const QString& s) {
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) {
            out.append(c);
            out.append(s.at(++i));
        } else if (c.isSurrogate()) {
            out.append(QChar(QChar::ReplacementCharacter));
        } else {
            out.append(c);
        }
    }
    return out;
}

void appendJsonString(std::string& out, const QString& s) {
    const QByteArray utf8 = wellFormed(s).toUtf8();
    out += '"';
    for (char ch : utf8) {
        const auto u = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/': // vault manifests escape slashes, and the space an item list needs counts them
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20) {
                static constexpr char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[u >> 4];
                out += hex[u & 0xF];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

// Shortest text that reads back as the same double, so dates survive a save bit for bit.
bool appendJsonNumber(std::string& out, double value) {
    if (!std::isfinite(value))
        return false;
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc())
        return false;
    out.append(buf, end);
    return true;
}

// The manifest in the writer's fixed key order; nothing when an item cannot be written
// (a date that is not a finite number).
std::optional<std::string> encodeManifest(const PocketItems& items) {
    std::string json = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        const PocketItem& item = items[i];
        if (i > 0)
            json += ',';
        json += "{\"id\":";
        appendJsonString(json, uuidString(item.id));
        json += ",\"name\":";
        appendJsonString(json, item.name);
        json += ",\"kind\":";
        appendJsonString(json, PocketItem::kindValue(item.kind));
        json += ",\"created\":";
        if (!appendJsonNumber(json, item.created.secondsSinceReference))
            return std::nullopt;
        json += ",\"modified\":";
        if (!appendJsonNumber(json, item.modified.secondsSinceReference))
            return std::nullopt;
        json += ",\"length\":";
        json += std::to_string(item.data.size());
        json += '}';
    }
    json += ']';
    return json;
}

void wipeString(std::string& s) {
    wipe(s.data(), s.size());
}

std::int64_t dataSize(const PocketItems& items) {
    std::int64_t sum = 0;
    for (const PocketItem& item : items)
        sum += static_cast<std::int64_t>(item.data.size());
    return sum;
}

// A byte count: a JSON integer, or a number with an integral value, from 0 up.
std::optional<std::uint64_t> parseLength(const QJsonValue& v) {
    if (!v.isDouble())
        return std::nullopt;
    const QVariant raw = v.toVariant();
    if (raw.typeId() == QMetaType::LongLong) {
        const qlonglong n = raw.toLongLong();
        if (n < 0)
            return std::nullopt;
        return static_cast<std::uint64_t>(n);
    }
    const double d = v.toDouble();
    // Beyond 2^53 a double no longer names one integer; no area is that large anyway.
    if (!std::isfinite(d) || d < 0 || d != std::floor(d) || d > 9007199254740992.0)
        return std::nullopt;
    return static_cast<std::uint64_t>(d);
}

} // namespace

std::int64_t sizeOf(const PocketItems& items) {
    std::optional<std::string> manifest = encodeManifest(items);
    const std::int64_t manifestSize = manifest ? static_cast<std::int64_t>(manifest->size()) : 0;
    if (manifest)
        wipeString(*manifest);
    return static_cast<std::int64_t>(kHeaderSize) + manifestSize + dataSize(items);
}

void encodeInto(const PocketItems& items, std::span<std::uint8_t> out) {
    std::optional<std::string> manifest = encodeManifest(items);
    if (!manifest)
        throw std::invalid_argument("An item's date cannot be written.");
    const auto capacity = static_cast<std::int64_t>(out.size());
    const std::int64_t needed = static_cast<std::int64_t>(kHeaderSize + manifest->size()) + dataSize(items);
    if (needed > capacity || manifest->size() > std::numeric_limits<std::uint32_t>::max()) {
        wipeString(*manifest);
        throw PocketVaultError::full(needed, capacity);
    }

    // Everything that can fail has been checked: from here on `out` is only written.
    auto* p = out.data();
    p = std::copy(magic.begin(), magic.end(), p);
    const auto length = static_cast<std::uint32_t>(manifest->size());
    for (int i = 0; i < 4; ++i)
        *p++ = static_cast<std::uint8_t>(length >> (8 * i));
    p = std::copy(manifest->begin(), manifest->end(), p);
    for (const PocketItem& item : items)
        p = std::copy(item.data.begin(), item.data.end(), p);
    // The buffer may hold an earlier payload, so the fill is written rather than assumed.
    std::fill(p, out.data() + out.size(), std::uint8_t{0});
    wipeString(*manifest);
}

SecureBytes encode(const PocketItems& items, std::int64_t capacity) {
    SecureBytes out(static_cast<std::size_t>(capacity));
    encodeInto(items, out);
    return out;
}

PocketItems decode(ByteView plaintext) {
    if (plaintext.size() < kHeaderSize)
        throw PocketVaultError::damaged();
    if (!std::equal(magic.begin(), magic.end(), plaintext.begin()))
        throw PocketVaultError::damaged();
    std::uint64_t length = 0;
    for (int i = 0; i < 4; ++i)
        length |= std::uint64_t{plaintext[4 + i]} << (8 * i);
    if (length > plaintext.size() - kHeaderSize)
        throw PocketVaultError::damaged();

    const QByteArray json = QByteArray::fromRawData(reinterpret_cast<const char*>(plaintext.data() + kHeaderSize),
                                                    static_cast<qsizetype>(length));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        throw PocketVaultError::damaged();

    // Each length is checked against what is left, in unsigned 64-bit arithmetic, so a huge
    // length cannot wrap the cursor around.
    const QJsonArray array = document.array();
    PocketItems items;
    items.reserve(static_cast<std::size_t>(array.size()));
    std::uint64_t cursor = kHeaderSize + length;
    for (const QJsonValue& value : array) {
        if (!value.isObject())
            throw PocketVaultError::damaged();
        const QJsonObject o = value.toObject();
        const QJsonValue id = o.value(QLatin1String("id")), name = o.value(QLatin1String("name")),
                         kind = o.value(QLatin1String("kind")), created = o.value(QLatin1String("created")),
                         modified = o.value(QLatin1String("modified"));
        if (!id.isString() || !name.isString() || !kind.isString() || !created.isDouble() || !modified.isDouble())
            throw PocketVaultError::damaged();
        const std::optional<QUuid> uuid = uuidFromString(id.toString());
        const std::optional<PocketItem::Kind> k = PocketItem::kindFromValue(kind.toString());
        const std::optional<std::uint64_t> n = parseLength(o.value(QLatin1String("length")));
        if (!uuid || !k || !n || *n > plaintext.size() - cursor)
            throw PocketVaultError::damaged();
        PocketItem item;
        item.id = *uuid;
        item.name = name.toString();
        item.kind = *k;
        item.created = Date{created.toDouble()};
        item.modified = Date{modified.toDouble()};
        const auto* begin = plaintext.data() + cursor;
        item.data.assign(begin, begin + *n);
        cursor += *n;
        items.push_back(std::move(item));
    }
    return items;
}

} // namespace larkhold::PocketPayload
