#include "LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace larkhold {

namespace {

// One argument of an Exec line: quoted, with the characters the quoting reserves escaped, then escaped
// again as a string value of the entry, and with "%" doubled so it is no field code.
std::optional<QString> execArgument(const QString& argument) {
    QString quoted;
    for (const QChar c : argument) {
        if (c == u'\n' || c == u'\r' || c == u'\t' || c.category() == QChar::Other_Control)
            return std::nullopt;
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted = u'"' + quoted + u'"';
    quoted.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    quoted.replace(QStringLiteral("%"), QStringLiteral("%%"));
    return quoted;
}

} // namespace

QString LoginItem::defaultFolder() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("autostart"));
}

LoginItem::LoginItem(QString folder, QString executable)
    : folder_(std::move(folder)), executable_(std::move(executable)) {
    if (executable_.isEmpty())
        executable_ = QCoreApplication::applicationFilePath();
}

QString LoginItem::filePath() const {
    return QDir(folder_).filePath(QString::fromLatin1(kFileName));
}

bool LoginItem::isEnabled() const {
    return QFileInfo::exists(filePath());
}

std::optional<QByteArray> LoginItem::desktopEntry(const QString& executable) {
    const std::optional<QString> exec = execArgument(executable);
    if (!exec || executable.isEmpty())
        return std::nullopt;
    QByteArray entry = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Larkhold\n"
                       "Comment=Password-protected encrypted vaults\n"
                       "Icon=org.larkhold.Larkhold\n"
                       "Exec=";
    entry += exec->toUtf8();
    entry += "\n"
             "Terminal=false\n"
             "X-GNOME-Autostart-enabled=true\n";
    return entry;
}

std::optional<QString> LoginItem::setEnabled(bool enabled) {
    const QString path = filePath();
    if (!enabled) {
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            return std::nullopt;
        QFile file(path);
        if (info.isDir() || !file.remove())
            return QStringLiteral("“%1” could not be removed (%2).")
                .arg(QDir::toNativeSeparators(path),
                     info.isDir() ? QStringLiteral("it is a folder") : file.errorString());
        return std::nullopt;
    }
    const std::optional<QByteArray> entry = desktopEntry(executable_);
    if (!entry)
        return QStringLiteral("The program’s location “%1” cannot be written into an autostart entry.")
            .arg(QDir::toNativeSeparators(executable_));
    if (!QDir().mkpath(folder_))
        return QStringLiteral("The folder “%1” could not be created.").arg(QDir::toNativeSeparators(folder_));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(*entry) != entry->size() || !file.commit())
        return QStringLiteral("“%1” could not be written (%2).")
            .arg(QDir::toNativeSeparators(path), file.errorString());
    return std::nullopt;
}

} // namespace larkhold
