#pragma once

#include "PdfRenderer.h"
#include "PhotoDecoder.h"
#include "SecureBytes.h"

#include <QAbstractScrollArea>
#include <QImage>
#include <QPlainTextEdit>
#include <QUuid>
#include <QWidget>
#include <map>
#include <optional>

namespace larkhold {

// The viewers of the editor's detail pane. Each shows decrypted bytes straight from memory, writes
// nothing to disk, and releases (and where it owns the memory, zeroes) what it holds on wipe().

// What a viewer shows instead of a photo or PDF when the process that would decode it could not be
// sealed off (Confinement.h): the content is not decoded at all.
QString unconfinedText();

// A note's text, edited in place. Every change is reported whole; the editor hands it to the
// document, and when the document refuses it (the vault is full) the text is put back.
class NoteView : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit NoteView(QWidget* parent = nullptr);

    // Shows the note's text; the same note with the same text is left alone (cursor and undo stay).
    void showNote(const QUuid& id, const QString& text);
    std::optional<QUuid> noteID() const { return id_; }
    void wipe();

signals:
    void edited(const QUuid& id, const QString& text);

private:
    std::optional<QUuid> id_;
    bool loading_ = false;
};

// A photo, scaled to fit with its proportions kept, or "This photo can’t be shown.". Decoded by a
// process of its own (PhotoDecoder.h): the pane stays empty until it answers.
class ImageView : public QWidget {
    Q_OBJECT

public:
    explicit ImageView(QWidget* parent = nullptr);

    // Starts decoding the bytes unless they are the ones shown already (same item, same size).
    void showImage(const QUuid& id, ByteView bytes);
    bool hasImage() const { return !image_.isNull(); }
    bool isDecoding() const { return decoder_->state() == PhotoDecoder::State::decoding; }
    bool showsMessage() const { return shown_.has_value() && image_.isNull() && !isDecoding(); }
    static QString unreadableText();
    void wipe();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<std::pair<QUuid, std::size_t>> shown_;
    PhotoDecoder* decoder_;
    QImage image_;
    QImage scaled_;
};

// A PDF, a page under the other down the view's width, drawn by a process of its own
// (PdfRenderer.h): a PDF that cannot be drawn in time, or at all, leaves the view empty. The pages
// are pictures, so links in them open nothing.
class PdfItemView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit PdfItemView(QWidget* parent = nullptr);
    ~PdfItemView() override;

    // Loads the bytes unless they are the ones shown already, so the reader keeps its place.
    void showPdf(const QUuid& id, ByteView bytes);
    const PdfRenderer& renderer() const { return *renderer_; }
    // The pages drawn and kept for painting.
    int pagesDrawn() const { return static_cast<int>(pages_.size()); }
    // How often a document was built from bytes.
    int loads() const { return loads_; }
    void wipe();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void layOutPages();
    void requestVisiblePages();
    QRect pageRect(int page) const;
    std::pair<int, int> visiblePages() const;

    std::optional<std::pair<QUuid, std::size_t>> shown_;
    PdfRenderer* renderer_;
    // Each page's top and height in the view's pixels, at `pageWidth_`.
    QList<std::pair<int, int>> layout_;
    int pageWidth_ = 0;
    std::map<int, QImage> pages_;
    int loads_ = 0;
};

} // namespace larkhold
