#pragma once

#include "DiskImage.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <utility>

namespace larkhold::test {

// A scratch folder of fake disk-image tools (fake-tool.sh under each tool's name) whose answers a
// test sets and whose received arguments and input it reads back.
class FakeTools {
public:
    FakeTools() {
        for (const char* name : {"hdiutil", "diskutil", "du", "mdutil", "opener"})
            QFile::copy(QStringLiteral(LARKHOLD_FAKE_TOOL), path(QString::fromLatin1(name)));
    }

    DiskImageTools tools() const {
        DiskImageTools t = DiskImageTools::inFolder(dir_.path());
        t.du = path(QStringLiteral("du"));
        t.opener = path(QStringLiteral("opener"));
        return t;
    }

    QString path(const QString& file) const { return dir_.filePath(file); }

    // `key` is "<tool>-<first argument>", e.g. "hdiutil-attach" or "du--sk".
    void respond(const QString& key, const QByteArray& out, const QByteArray& err = {}, int status = 0) const {
        write(key + QStringLiteral(".stdout"), out);
        write(key + QStringLiteral(".stderr"), err);
        write(key + QStringLiteral(".status"), QByteArray::number(status));
    }
    void neverReadInput(const QString& key) const { write(key + QStringLiteral(".noread"), {}); }
    // Folders the tool makes when it runs, as a tool that leaves things behind would.
    void makesFolders(const QString& key, const QStringList& folders) const {
        write(key + QStringLiteral(".mkdir"), (folders.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    }

    QStringList arguments(const QString& key) const {
        QString text = QString::fromUtf8(read(key + QStringLiteral(".args")));
        if (text.endsWith(QLatin1Char('\n')))
            text.chop(1);
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    QByteArray input(const QString& key) const { return read(key + QStringLiteral(".stdin")); }
    QStringList calls() const {
        return QString::fromUtf8(read(QStringLiteral("calls.log"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    bool wasRun(const QString& key) const { return calls().contains(key); }

    // A property list as the attach command prints it: one entity per entry, a null entry giving an
    // entity without a mount point.
    static QByteArray attachOutput(const QStringList& mountPoints) {
        QByteArray xml = header() + "<dict><key>system-entities</key><array>";
        for (const QString& m : mountPoints)
            xml += entity(m);
        return xml + "</array></dict></plist>";
    }
    // A property list as "info" prints it, for image path → mount point pairs.
    static QByteArray infoOutput(const QList<std::pair<QString, QString>>& images) {
        QByteArray xml = header() + "<dict><key>images</key><array>";
        for (const auto& [image, mount] : images)
            xml += "<dict><key>image-path</key><string>" + image.toHtmlEscaped().toUtf8() +
                   "</string><key>system-entities</key><array>" + entity(mount) + "</array></dict>";
        return xml + "</array></dict></plist>";
    }

private:
    static QByteArray header() {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">";
    }
    static QByteArray entity(const QString& mountPoint) {
        QByteArray xml = "<dict><key>content-hint</key><string>Apple_APFS</string>";
        if (!mountPoint.isNull())
            xml += "<key>mount-point</key><string>" + mountPoint.toHtmlEscaped().toUtf8() + "</string>";
        return xml + "</dict>";
    }
    void write(const QString& file, const QByteArray& bytes) const {
        QFile f(path(file));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(bytes);
    }
    QByteArray read(const QString& file) const { return readFile(path(file)); }

    QTemporaryDir dir_;
};

} // namespace larkhold::test
