// The PDF view's module: the only part of the program that links the PDF widgets (see
// PdfViewOnDemand.h).
#include "PdfViewOnDemand.h"

#include <QPdfView>

extern "C" Q_DECL_EXPORT QPdfView* larkhold_pdf_view_new(QPdfDocument* document, QWidget* parent) {
    auto* view = new QPdfView(parent);
    view->setPageMode(QPdfView::PageMode::MultiPage);
    view->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    view->setFrameShape(QFrame::NoFrame);
    view->setDocument(document);
    return view;
}
