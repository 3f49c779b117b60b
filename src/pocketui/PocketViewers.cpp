#include "PocketViewers.h"

#include "PdfRenderProtocol.h"
#include "PhotoDecoder.h"
#include "SecretText.h"
#include "Theme.h"

#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>
#include <cmath>
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

QString unconfinedText() {
    return QStringLiteral("This item can’t be shown — this computer doesn’t let Larkhold open it sealed off "
                          "from your vaults.");
}

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
    // Every copy of the note's text made here is wiped once used: freed unwiped, it would stay in memory after
    // the lock.
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (loading_ || !id_)
            return;
        QString text = toPlainText();
        emit edited(*id_, text);
        wipeText(text);
    });
}

void NoteView::showNote(const QUuid& id, const QString& text) {
    const bool sameNote = id_ == id;
    QString shown = sameNote ? toPlainText() : QString();
    const bool unchanged = sameNote && shown == text;
    wipeText(shown);
    if (unchanged)
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
    // A block's layout keeps a copy of the block's text, which clearing frees without wiping. The copy it
    // hands out is that same buffer, so it is wiped in place; nothing reads it before it goes.
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        if (QTextLayout* layout = block.layout()) {
            const QString held = layout->text();
            if (!held.isEmpty())
                larkhold::wipe(const_cast<QChar*>(held.constData()), std::size_t(held.size()) * sizeof(QChar));
        }
    }
    clear();
    document()->clearUndoRedoStacks();
    loading_ = false;
}

// ---- photos ----

ImageView::ImageView(QWidget* parent) : QWidget(parent), decoder_(new PhotoDecoder(PhotoDecoder::kDeadline, this)) {
    setObjectName(QStringLiteral("imageView"));
    connect(decoder_, &PhotoDecoder::finished, this, [this] {
        image_ = decoder_->image();
        update();
    });
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
    decoder_->decode(bytes);
    update();
}

void ImageView::wipe() {
    // The decoder holds the only other reference to the pixels; cancelling wipes them.
    image_ = QImage();
    decoder_->cancel();
    wipeImage(scaled_);
    shown_.reset();
    update();
}

void ImageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (image_.isNull()) {
        if (!shown_ || isDecoding())
            return;
        painter.setPen(Theme::secondary(palette()));
        painter.setFont(Theme::font(13));
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap,
                         decoder_->state() == PhotoDecoder::State::unconfined ? unconfinedText() : unreadableText());
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

namespace {

constexpr int kPageMargin = 12;

// The pixels to draw a page at: its place on screen at the screen's density, within what the
// renderer draws, its proportions kept.
QSize pagePixels(const QSize& logical, qreal ratio) {
    QSizeF size = QSizeF(logical) * ratio;
    const qreal longest = std::max(size.width(), size.height());
    if (longest > pdfrender::kMaxSide)
        size *= pdfrender::kMaxSide / longest;
    const qreal pixels = size.width() * size.height();
    if (pixels > qreal(pdfrender::kMaxPixels))
        size *= std::sqrt(qreal(pdfrender::kMaxPixels) / pixels);
    return QSize(std::max(1, int(size.width())), std::max(1, int(size.height())));
}

} // namespace

PdfItemView::PdfItemView(QWidget* parent) : QAbstractScrollArea(parent), renderer_(new PdfRenderer(PdfRenderer::kDeadline, this)) {
    setObjectName(QStringLiteral("pdfView"));
    setAccessibleName(QStringLiteral("PDF document"));
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalScrollBar()->setSingleStep(24);
    connect(renderer_, &PdfRenderer::stateChanged, this, [this] {
        layOutPages();
        viewport()->update();
    });
    connect(renderer_, &PdfRenderer::rendered, this, [this](int page, const QImage& image) {
        auto [first, last] = visiblePages();
        // Scrolled past while it was drawn: not kept.
        if (page < first - 1 || page > last + 1)
            return;
        QImage& kept = pages_[page];
        wipeImage(kept);
        kept = image;
        viewport()->update(pageRect(page).translated(0, -verticalScrollBar()->value()));
    });
}

PdfItemView::~PdfItemView() {
    wipe();
}

void PdfItemView::showPdf(const QUuid& id, ByteView bytes) {
    const std::pair<QUuid, std::size_t> key{id, bytes.size()};
    if (shown_ == key)
        return;
    wipe();
    shown_ = key;
    verticalScrollBar()->setValue(0);
    renderer_->load(bytes);
    ++loads_;
}

void PdfItemView::wipe() {
    renderer_->close();
    for (auto& [page, image] : pages_)
        wipeImage(image);
    pages_.clear();
    layout_.clear();
    shown_.reset();
    viewport()->update();
}

void PdfItemView::layOutPages() {
    layout_.clear();
    pageWidth_ = std::max(1, viewport()->width() - 2 * kPageMargin);
    int top = kPageMargin;
    if (renderer_->state() == PdfRenderer::State::ready) {
        for (const QSizeF& size : renderer_->pageSizes()) {
            const int height = std::max(1, int(std::min(1e7, pageWidth_ * size.height() / size.width())));
            layout_.append({top, height});
            top = int(std::min<qint64>(qint64(top) + height + kPageMargin, 1'000'000'000));
        }
    }
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setRange(0, std::max(0, top - viewport()->height()));
    requestVisiblePages();
}

QRect PdfItemView::pageRect(int page) const {
    const auto [top, height] = layout_.value(page);
    return QRect(kPageMargin, top, pageWidth_, height);
}

std::pair<int, int> PdfItemView::visiblePages() const {
    const int from = verticalScrollBar()->value();
    const int to = from + viewport()->height();
    int first = -1;
    int last = -2;
    for (int page = 0; page < layout_.size(); ++page) {
        const auto [top, height] = layout_[page];
        if (top + height < from)
            continue;
        if (top > to)
            break;
        if (first < 0)
            first = page;
        last = page;
    }
    return {first, last};
}

void PdfItemView::requestVisiblePages() {
    const auto [first, last] = visiblePages();
    for (auto it = pages_.begin(); it != pages_.end();) {
        if (it->first < first - 1 || it->first > last + 1) {
            wipeImage(it->second);
            it = pages_.erase(it);
        } else {
            ++it;
        }
    }
    if (first < 0)
        return;
    const qreal ratio = devicePixelRatioF();
    QList<std::pair<int, QSize>> wanted;
    for (int page = first; page <= std::min(int(layout_.size()) - 1, last + 1); ++page) {
        const QSize pixels = pagePixels(pageRect(page).size(), ratio);
        const auto kept = pages_.find(page);
        if (kept == pages_.end() || kept->second.size() != pixels)
            wanted.append({page, pixels});
    }
    renderer_->request(wanted);
}

void PdfItemView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    layOutPages();
}

void PdfItemView::scrollContentsBy(int, int) {
    requestVisiblePages();
    viewport()->update();
}

void PdfItemView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    if (renderer_->state() == PdfRenderer::State::unconfined) {
        painter.setPen(Theme::secondary(palette()));
        painter.setFont(Theme::font(13));
        painter.drawText(viewport()->rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap,
                         unconfinedText());
        return;
    }
    const auto [first, last] = visiblePages();
    if (first < 0)
        return;
    painter.translate(0, -verticalScrollBar()->value());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (int page = first; page <= last; ++page) {
        const QRect area = pageRect(page);
        painter.fillRect(area, Qt::white);
        const auto kept = pages_.find(page);
        if (kept != pages_.end())
            painter.drawImage(area, kept->second);
    }
}

} // namespace larkhold
