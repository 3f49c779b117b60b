#include "PocketViewers.h"

#include "LazyLibrary.h"
#include "ModuleFile.h"
#include "PdfOnDemand.h"
#include "PdfViewOnDemand.h"
#include "PhotoDecoder.h"
#include "Theme.h"

#include <QPainter>
// Only for the view's place among the widgets: the PDF libraries are the modules' (PdfOnDemand.h).
#include <QPdfView>
#include <QTextBlock>
#include <QVBoxLayout>
#include <cstring>

namespace larkhold {

namespace {

// Zeroes the pixels of an image this code holds the only reference to, then lets it go.
void wipeImage(QImage& image) {
    if (!image.isNull())
        wipe(image.bits(), static_cast<std::size_t>(image.sizeInBytes()));
    image = QImage();
}

} // namespace

// ---- notes ----

NoteView::NoteView(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("noteView"));
    setAccessibleName(QStringLiteral("Note"));
    setFont(Theme::font(13));
    setFrameShape(QFrame::NoFrame);
    setViewportMargins(8, 8, 8, 8);
    // No background of its own: the note sits on the pane.
    viewport()->setAutoFillBackground(false);
    setBackgroundVisible(false);
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!loading_ && id_)
            emit edited(*id_, toPlainText());
    });
}

void NoteView::showNote(const QUuid& id, const QString& text) {
    const bool sameNote = id_ == id;
    if (sameNote && toPlainText() == text)
        return;
    const int position = textCursor().position();
    loading_ = true;
    id_ = id;
    // Replacing the text also drops the undo history of the note shown before.
    setPlainText(text);
    if (sameNote) {
        QTextCursor cursor = textCursor();
        cursor.setPosition(std::min(position, static_cast<int>(text.size())));
        setTextCursor(cursor);
    }
    loading_ = false;
}

void NoteView::wipe() {
    loading_ = true;
    id_.reset();
    clear();
    document()->clearUndoRedoStacks();
    loading_ = false;
}

// ---- photos ----

ImageView::ImageView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("imageView"));
}

QString ImageView::unreadableText() {
    return QStringLiteral("This photo can’t be shown.");
}

void ImageView::showImage(const QUuid& id, ByteView bytes) {
    const std::pair<QUuid, std::size_t> key{id, bytes.size()};
    if (shown_ == key)
        return;
    wipe();
    shown_ = key;
    image_ = decodePhoto(bytes);
    update();
}

void ImageView::wipe() {
    wipeImage(image_);
    wipeImage(scaled_);
    shown_.reset();
    update();
}

void ImageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (image_.isNull()) {
        if (!shown_)
            return;
        painter.setPen(Theme::secondary(palette()));
        painter.setFont(Theme::font(13));
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, unreadableText());
        return;
    }
    const QRect area = rect().adjusted(12, 12, -12, -12);
    if (area.width() <= 0 || area.height() <= 0)
        return;
    const qreal ratio = devicePixelRatioF();
    const QSize fitted = image_.size().scaled(area.size(), Qt::KeepAspectRatio);
    const QSize pixels = (QSizeF(fitted) * ratio).toSize();
    if (scaled_.size() != pixels) {
        wipeImage(scaled_);
        scaled_ = image_.scaled(pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        scaled_.setDevicePixelRatio(ratio);
    }
    const QRect target(
        QPoint(area.x() + (area.width() - fitted.width()) / 2, area.y() + (area.height() - fitted.height()) / 2),
        fitted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, scaled_);
}

// ---- PDFs ----

QPdfView* newPdfView(QPdfDocument* document, QWidget* parent) {
    static const std::string path = moduleFile("liblarkhold_pdf_view.so");
    static LazyLibrary module(path.c_str());
    static const auto f = reinterpret_cast<decltype(&larkhold_pdf_view_new)>(module.required("larkhold_pdf_view_new"));
    QPdfView* view = f(document, parent);
    view->setAccessibleName(QStringLiteral("PDF document"));
    return view;
}

PdfItemView::PdfItemView(QWidget* parent)
    : QWidget(parent), document_(PdfOnDemand::newDocument(this)), view_(newPdfView(document_, this)) {
    setObjectName(QStringLiteral("pdfView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
}

PdfItemView::~PdfItemView() {
    wipe();
}

void PdfItemView::showPdf(const QUuid& id, ByteView bytes) {
    const std::pair<QUuid, std::size_t> key{id, bytes.size()};
    if (shown_ == key)
        return;
    wipe();
    // Qt's page renderer keeps a page request that its thread reached only after the document had
    // closed as still under way, and never asks for that page at that size again: the next
    // document would stay blank where that page goes. A view that showed one gives way to a fresh one.
    // Handled as plain widgets: the PDF widgets' library is the module's, not linked here.
    if (loads_ > 0) {
        QWidget* old = view_;
        QPdfView* fresh = newPdfView(document_, this);
        QWidget* shown = fresh;
        delete layout()->replaceWidget(old, shown);
        delete old;
        view_ = fresh;
        shown->show();
    }
    shown_ = key;
    bytes_ = QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    buffer_.setBuffer(&bytes_);
    buffer_.open(QIODevice::ReadOnly);
    // Unreadable bytes leave the view empty.
    PdfOnDemand::load(document_, &buffer_);
    ++loads_;
}

void PdfItemView::wipe() {
    PdfOnDemand::close(document_);
    buffer_.close();
    if (!bytes_.isEmpty())
        larkhold::wipe(bytes_.data(), static_cast<std::size_t>(bytes_.size()));
    bytes_.clear();
    shown_.reset();
}

} // namespace larkhold
