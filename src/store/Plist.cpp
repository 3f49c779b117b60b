#include "Plist.h"

#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>
#include <QXmlStreamReader>

namespace larkhold::Plist {

namespace {

// Deeper nesting than any tool writes; the limit keeps hostile input from exhausting the stack.
constexpr int maxDepth = 256;

class Reader {
public:
    explicit Reader(const QByteArray& xml) : xml_(xml) {}

    std::optional<QVariant> document() {
        if (!nextElement() || xml_.name() != QLatin1String("plist"))
            return std::nullopt;
        if (!nextElement())
            return std::nullopt;
        std::optional<QVariant> root = value(0);
        if (!root)
            return std::nullopt;
        // Nothing but the closing </plist> and the end of the document may follow.
        while (!xml_.atEnd()) {
            const auto token = xml_.readNext();
            if (token == QXmlStreamReader::StartElement)
                return std::nullopt;
            if (token == QXmlStreamReader::Characters && !xml_.isWhitespace())
                return std::nullopt;
        }
        if (xml_.hasError())
            return std::nullopt;
        return root;
    }

private:
    // Moves to the next start element; false at an end element, the end of input or an error.
    // Text between elements must be whitespace.
    bool nextElement() {
        while (!xml_.atEnd()) {
            switch (xml_.readNext()) {
            case QXmlStreamReader::StartElement:
                return true;
            case QXmlStreamReader::EndElement:
                return false;
            case QXmlStreamReader::Characters:
                if (!xml_.isWhitespace())
                    return false;
                break;
            default:
                break;
            }
        }
        return false;
    }

    // Reads the value whose start element is current; leaves the reader on its end element.
    std::optional<QVariant> value(int depth) {
        if (depth > maxDepth)
            return std::nullopt;
        const QStringView name = xml_.name();
        if (name == QLatin1String("dict"))
            return dict(depth);
        if (name == QLatin1String("array"))
            return array(depth);
        if (name == QLatin1String("true") || name == QLatin1String("false")) {
            const bool b = name == QLatin1String("true");
            if (nextElement() || xml_.hasError())
                return std::nullopt;
            return QVariant(b);
        }
        if (name == QLatin1String("string")) {
            const QString text = xml_.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
            if (xml_.hasError())
                return std::nullopt;
            return QVariant(text);
        }
        const QString kind = name.toString();
        const QString text = xml_.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement).trimmed();
        if (xml_.hasError())
            return std::nullopt;
        bool ok = false;
        if (kind == QLatin1String("integer")) {
            const qint64 n = text.toLongLong(&ok, 10);
            return ok ? std::optional<QVariant>(QVariant(n)) : std::nullopt;
        }
        if (kind == QLatin1String("real")) {
            const double d = text.toDouble(&ok);
            return ok ? std::optional<QVariant>(QVariant(d)) : std::nullopt;
        }
        if (kind == QLatin1String("data")) {
            QByteArray compact;
            for (const QChar c : text)
                if (!c.isSpace())
                    compact.append(c.toLatin1());
            const auto decoded = QByteArray::fromBase64Encoding(compact, QByteArray::AbortOnBase64DecodingErrors);
            return decoded ? std::optional<QVariant>(QVariant(*decoded)) : std::nullopt;
        }
        if (kind == QLatin1String("date")) {
            const QDateTime date = QDateTime::fromString(text, Qt::ISODate);
            return date.isValid() ? std::optional<QVariant>(QVariant(date.toUTC())) : std::nullopt;
        }
        return std::nullopt;
    }

    std::optional<QVariant> dict(int depth) {
        QVariantMap map;
        while (nextElement()) {
            if (xml_.name() != QLatin1String("key"))
                return std::nullopt;
            const QString key = xml_.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
            if (xml_.hasError() || !nextElement())
                return std::nullopt;
            std::optional<QVariant> v = value(depth + 1);
            if (!v)
                return std::nullopt;
            map.insert(key, *v);
        }
        if (xml_.hasError() || !xml_.isEndElement())
            return std::nullopt;
        return QVariant(map);
    }

    std::optional<QVariant> array(int depth) {
        QVariantList list;
        while (nextElement()) {
            std::optional<QVariant> v = value(depth + 1);
            if (!v)
                return std::nullopt;
            list.append(*v);
        }
        if (xml_.hasError() || !xml_.isEndElement())
            return std::nullopt;
        return QVariant(list);
    }

    QXmlStreamReader xml_;
};

} // namespace

std::optional<QVariant> parse(const QByteArray& xml) {
    return Reader(xml).document();
}

} // namespace larkhold::Plist
