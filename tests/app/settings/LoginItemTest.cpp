#include "LoginItem.h"

#include "QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace larkhold;

namespace {

QByteArray execLine(const std::optional<QByteArray>& entry) {
    for (const QByteArray& line : entry.value_or(QByteArray()).split('\n')) {
        if (line.startsWith("Exec="))
            return line;
    }
    return {};
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(LoginItem, WrittenAndRemovedInTheAutostartFolder) {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("config/autostart"));
    LoginItem item(folder, QStringLiteral("/opt/Larkhold/bin/larkhold"));
    EXPECT_EQ(item.filePath(), folder + QStringLiteral("/org.larkhold.Larkhold.desktop"));
    EXPECT_FALSE(item.isEnabled());

    EXPECT_EQ(item.setEnabled(true), std::nullopt);
    EXPECT_TRUE(item.isEnabled());
    const QByteArray entry = readAll(item.filePath());
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(entry.contains("\nType=Application\n"));
    EXPECT_TRUE(entry.contains("\nExec=\"/opt/Larkhold/bin/larkhold\"\n"));
    // Enabling twice is no failure.
    EXPECT_EQ(item.setEnabled(true), std::nullopt);

    EXPECT_EQ(item.setEnabled(false), std::nullopt);
    EXPECT_FALSE(item.isEnabled());
    EXPECT_FALSE(QFile::exists(item.filePath()));
    EXPECT_EQ(item.setEnabled(false), std::nullopt);
}

TEST(LoginItem, TheProgramPathIsQuotedForTheExecLine) {
    EXPECT_EQ(execLine(LoginItem::desktopEntry(QStringLiteral("/home/me/My Apps/larkhold"))),
              QByteArray("Exec=\"/home/me/My Apps/larkhold\""));
    // Reserved characters escaped inside the quotes, then the backslashes escaped again for the entry;
    // "%" doubled so it is no field code.
    EXPECT_EQ(execLine(LoginItem::desktopEntry(QStringLiteral("/x/a\"b$c`d\\e%f"))),
              QByteArray(R"(Exec="/x/a\\"b\\$c\\`d\\\\e%%f")"));
    EXPECT_FALSE(LoginItem::desktopEntry(QStringLiteral("/x/new\nline")));
    EXPECT_FALSE(LoginItem::desktopEntry(QString()));
}

TEST(LoginItem, FailuresAreReportedAndTheStateIsTheFiles) {
    QTemporaryDir dir;
    // The autostart folder's place is taken by a file: nothing can be written.
    const QString blocked = dir.filePath(QStringLiteral("autostart"));
    {
        QFile file(blocked);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    LoginItem item(blocked, QStringLiteral("/usr/bin/larkhold"));
    const std::optional<QString> writeError = item.setEnabled(true);
    ASSERT_TRUE(writeError);
    EXPECT_TRUE(writeError->contains(blocked)) << writeError->toStdString();
    EXPECT_FALSE(item.isEnabled());

    // The entry's place is taken by a folder: it cannot be removed as a file.
    const QString folder = dir.filePath(QStringLiteral("other"));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/org.larkhold.Larkhold.desktop/inside")));
    LoginItem stuck(folder, QStringLiteral("/usr/bin/larkhold"));
    EXPECT_TRUE(stuck.isEnabled());
    const std::optional<QString> removeError = stuck.setEnabled(false);
    ASSERT_TRUE(removeError);
    EXPECT_TRUE(stuck.isEnabled());
    EXPECT_TRUE(stuck.setEnabled(true).has_value());

    LoginItem badPath(dir.filePath(QStringLiteral("fine")), QStringLiteral("/x/new\nline"));
    EXPECT_TRUE(badPath.setEnabled(true).has_value());
    EXPECT_FALSE(badPath.isEnabled());
}
