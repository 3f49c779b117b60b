// The PDF module: the only part of the program that links the PDF library (see PdfOnDemand.h).
#include "PdfOnDemand.h"

#include <QBuffer>
#include <QByteArray>
#include <QPdfDocument>

extern "C" {

Q_DECL_EXPORT bool larkhold_pdf_readable(const char* data, qsizetype size) {
    QByteArray view = QByteArray::fromRawData(data, size);
    QBuffer buffer(&view);
    if (!buffer.open(QIODevice::ReadOnly))
        return false;
    QPdfDocument document;
    document.load(&buffer);
    const bool ready = document.status() == QPdfDocument::Status::Ready;
    const bool locked = document.error() == QPdfDocument::Error::IncorrectPassword;
    document.close();
    return ready || locked;
}

Q_DECL_EXPORT QPdfDocument* larkhold_pdf_document_new(QObject* parent) {
    return new QPdfDocument(parent);
}

Q_DECL_EXPORT void larkhold_pdf_document_load(QPdfDocument* document, QIODevice* device) {
    document->load(device);
}

Q_DECL_EXPORT void larkhold_pdf_document_close(QPdfDocument* document) {
    document->close();
}
}
