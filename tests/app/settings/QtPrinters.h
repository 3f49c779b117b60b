#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <ostream>

// Readable failure messages for Qt's text types.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray& bytes, std::ostream* os) {
    *os << '"' << bytes.toStdString() << '"';
}
inline void PrintTo(const QUrl& url, std::ostream* os) {
    *os << url.toString().toStdString();
}
