#pragma once

#include <QtGlobal>

class QIODevice;
class QObject;
class QPdfDocument;

// PDF reading lives in a module of its own (PdfModule.cpp): the PDF library and what it pulls in
// (the network stack among them) are loaded the first time a PDF is checked or a Pocket window
// opens, not with the program. A missing module ends the program as a missing library would have.
namespace larkhold::PdfOnDemand {

// Whether the bytes load as a PDF; one that asks for a password has loaded far enough to count.
bool readable(const char* data, qsizetype size);
// A document whose loading and closing go through load() and close().
QPdfDocument* newDocument(QObject* parent);
// Unreadable bytes leave the document empty.
void load(QPdfDocument* document, QIODevice* device);
void close(QPdfDocument* document);

} // namespace larkhold::PdfOnDemand

// The module's entry points.
extern "C" {
bool larkhold_pdf_readable(const char* data, qsizetype size);
QPdfDocument* larkhold_pdf_document_new(QObject* parent);
void larkhold_pdf_document_load(QPdfDocument* document, QIODevice* device);
void larkhold_pdf_document_close(QPdfDocument* document);
}
