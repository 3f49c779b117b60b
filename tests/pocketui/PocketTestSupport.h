#pragma once

#include "ByteCount.h"
#include "FastKdf.h"
#include "FileWrite.h"
#include "PocketDocument.h"
#include "PocketFileImporter.h"
#include "PocketPayload.h"
#include "PocketSession.h"
#include "PocketStorage.h"
#include "TestPdfs.h"
#include "TestPhotos.h"
#include "fakes/store/StoreFixture.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

// Readable failure output for Qt's strings.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out) {
    *out << '[' << list.join(QStringLiteral(" | ")).toStdString() << ']';
}

namespace larkhold::test {

// Fixture files made in the test, never read from anywhere.
inline QImage testPicture(int width, int height, QColor tint = QColor(70, 110, 220)) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(
                x, y, qRgb((x * 255 / width + tint.red()) / 2, (y * 255 / height + tint.green()) / 2, tint.blue()));
    QPainter painter(&image);
    painter.setPen(QPen(Qt::white, std::max(2, width / 40)));
    painter.drawEllipse(QRect(width / 4, height / 4, width / 2, height / 2));
    return image;
}

inline QByteArray encodedPicture(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    EXPECT_TRUE(writer.write(image)) << writer.errorString().toStdString();
    return bytes;
}

// A one-page PDF with a line of text and, when `linkTo` is given, a link over that line.
inline QByteArray testPdf(const QByteArray& text = "Boarding pass", const QByteArray& linkTo = {}) {
    const QByteArray stream = "BT /F1 24 Tf 40 120 Td (" + text + ") Tj ET";
    QList<QByteArray> objects{
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 200] /Contents 4 0 R "
        "/Resources << /Font << /F1 5 0 R >> >>" +
            (linkTo.isEmpty() ? QByteArray() : QByteArray(" /Annots [6 0 R]")) + " >>",
        "<< /Length " + QByteArray::number(stream.size()) + " >>\nstream\n" + stream + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    if (!linkTo.isEmpty())
        objects << "<< /Type /Annot /Subtype /Link /Rect [0 0 300 200] /Border [0 0 0] /A << /S /URI /URI (" + linkTo +
                       ") >> >>";
    return pdfOf(objects);
}

inline QByteArray bytesOf(const PocketItem& item) {
    return QByteArray(reinterpret_cast<const char*>(item.data.data()), qsizetype(item.data.size()));
}

// A store on fakes with real Pocket Vault files (cheap key derivation), whose documents import
// files as the application does.
class PocketFixture : public StoreFixture {
protected:
    PocketFixture() { QDir(dir.path()).mkpath(QStringLiteral("in")); }

    ~PocketFixture() override {
        if (VaultStore::shared() == store.get())
            VaultStore::setShared(nullptr);
    }

    TestStore& startPocketStore() {
        if (!listed.isEmpty()) {
            QDir().mkpath(dataFolder());
            EXPECT_FALSE(VaultList(dataFolder()).save(listed).has_value());
        }
        VaultStoreDeps deps = storeDeps();
        deps.startTimers = false;
        deps.documentHost = &importer;
        store = std::make_unique<TestStore>(deps);
        VaultStore::setShared(store.get());
        return *store;
    }

    // A listed Pocket Vault, opened with its password; its session.
    PocketSession* openPocket(const QString& name = QStringLiteral("Travel"),
                              const QString& password = QStringLiteral("correct horse")) {
        pocket = pocketVault(name, password);
        pocketPassword = password;
        startPocketStore();
        if (!unlockWith(pocket, password))
            ADD_FAILURE() << "the Pocket Vault did not open: " << store->errorMessage().toStdString();
        return store->pocketSession(pocket.id);
    }

    // The items the vault file holds on disk now, read with `password`.
    PocketItems itemsOnDisk(const QString& password) const {
        return PocketStorage::open(pocket.bundlePath, password, false).items;
    }

    QString inputFile(const QString& name, const QByteArray& bytes) const {
        const QString path = dir.filePath(QStringLiteral("in/") + name);
        writeFile(path, bytes);
        return path;
    }

    PocketFileImporter importer;
    Vault pocket;
    QString pocketPassword;
};

// Waits for the condition with a generous ceiling: the machine running the tests may be loaded.
template <typename Predicate> bool eventually(Predicate done) {
    return waitUntil(done, 60000);
}

} // namespace larkhold::test
