#pragma once

#include "PocketEditorModel.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListView;

class QSplitter;
class QStackedWidget;

namespace larkhold {

class CapsuleButton;
class ImageView;
class NoteView;
class PdfItemView;
class PocketDocument;
class PocketItemListModel;
class ThemeLabel;

// The two-pane item editor: the items in a sidebar with buttons to add a note or files, and the
// selected item with its name, export and delete buttons and the viewer of its kind. Files dropped
// anywhere on it are added. Every change goes through its model and so through the document.
class PocketEditor : public QWidget {
    Q_OBJECT

public:
    PocketEditor(PocketDocument& document, Defaults* defaults, QWidget* parent = nullptr);
    ~PocketEditor() override;

    PocketEditorModel& model() { return model_; }
    void setReadOnly(bool readOnly);
    // Lets go of every decrypted copy the viewers hold; the document itself is wiped by its owner.
    void wipe();

    // Parts the tests and the window reach.
    QListView* itemList() const { return list_; }
    PocketItemListModel* itemModel() const { return items_; }
    NoteView* noteView() const { return note_; }
    ImageView* imageView() const { return image_; }
    PdfItemView* pdfView() const { return pdf_; }
    QLineEdit* nameField() const { return name_; }
    QWidget* noticeBanner() const { return banner_; }
    QLabel* noticeLabel() const { return noticeText_; }
    QWidget* dropHighlight() const { return highlight_; }
    QCheckBox* optimizeBox() const { return optimize_; }
    CapsuleButton* newNoteButton() const { return newNote_; }
    CapsuleButton* addFilesButton() const { return addFiles_; }
    CapsuleButton* exportButton() const { return export_; }
    CapsuleButton* deleteButton() const { return delete_; }
    QString placeholderText() const;
    bool showsDropHint() const;
    // The delete question while it is open.
    QMessageBox* openQuestion() const { return question_; }

    void exportItem(const QUuid& id);
    void confirmDelete(const QUuid& id);
    void chooseFiles();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* buildSidebar();
    QWidget* buildDetail();
    void refresh();
    void refreshNotice();
    void placeDropHint();
    void syncListSelection();
    void showContextMenu(const QPoint& position);
    void watchDrops(QWidget* widget);
    bool handleDrag(QEvent* event);
    void setDropTargeted(bool targeted);

    PocketEditorModel model_;
    PocketItemListModel* items_;
    QSplitter* split_ = nullptr;
    QListView* list_ = nullptr;
    ThemeLabel* dropHint_ = nullptr;
    QCheckBox* optimize_ = nullptr;
    CapsuleButton* newNote_ = nullptr;
    CapsuleButton* addFiles_ = nullptr;
    QWidget* banner_ = nullptr;
    QLabel* noticeText_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    ThemeLabel* placeholder_ = nullptr;
    QLineEdit* name_ = nullptr;
    CapsuleButton* export_ = nullptr;
    CapsuleButton* delete_ = nullptr;
    QStackedWidget* viewers_ = nullptr;
    NoteView* note_ = nullptr;
    ImageView* image_ = nullptr;
    PdfItemView* pdf_ = nullptr;
    QWidget* highlight_ = nullptr;
    QPointer<QMessageBox> question_;
    bool syncing_ = false;
};

} // namespace larkhold
