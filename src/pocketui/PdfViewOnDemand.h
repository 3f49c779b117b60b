#pragma once

class QPdfDocument;
class QPdfView;
class QWidget;

namespace larkhold {

// A view of `document` (one of PdfOnDemand's), a page under the other down the window's width,
// from the PDF view's module (PdfViewModule.cpp), which is loaded with the first one.
QPdfView* newPdfView(QPdfDocument* document, QWidget* parent);

} // namespace larkhold

// The module's entry point.
extern "C" QPdfView* larkhold_pdf_view_new(QPdfDocument* document, QWidget* parent);
