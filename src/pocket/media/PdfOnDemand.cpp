#include "PdfOnDemand.h"

#include "LazyLibrary.h"
#include "ModuleFile.h"

#include <string>

namespace larkhold::PdfOnDemand {

namespace {

template <class Fn> Fn entry(const char* name) {
    static const std::string path = moduleFile("liblarkhold_pdf.so");
    static LazyLibrary module(path.c_str());
    return reinterpret_cast<Fn>(module.required(name));
}

} // namespace

bool readable(const char* data, qsizetype size) {
    static const auto f = entry<decltype(&larkhold_pdf_readable)>("larkhold_pdf_readable");
    return f(data, size);
}

QPdfDocument* newDocument(QObject* parent) {
    static const auto f = entry<decltype(&larkhold_pdf_document_new)>("larkhold_pdf_document_new");
    return f(parent);
}

void load(QPdfDocument* document, QIODevice* device) {
    static const auto f = entry<decltype(&larkhold_pdf_document_load)>("larkhold_pdf_document_load");
    f(document, device);
}

void close(QPdfDocument* document) {
    static const auto f = entry<decltype(&larkhold_pdf_document_close)>("larkhold_pdf_document_close");
    f(document);
}

} // namespace larkhold::PdfOnDemand
