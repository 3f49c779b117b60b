#pragma once

#include "SheetModel.h"

#include <QDialog>
#include <QFont>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

class QAbstractButton;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace larkhold {

class SheetHeader;

// The frame every vault sheet shares: a window-modal dialog over its parent with the header, the
// field groups, and the button row (Cancel with Escape, the primary button with Return). Its
// widgets are bound to a view model and redrawn from it whenever it changes; the dialog closes when
// the model asks, and deletes itself once closed.
class SheetDialog : public QDialog {
    Q_OBJECT

public:
    ~SheetDialog() override;

    SheetModel& model() const { return *model_; }
    QPushButton* primaryButton() const { return primary_; }
    QPushButton* cancelButton() const { return cancel_; }

    enum class Tone { secondary, warning, error, success };
    // The colour of a caption, a warning or a message in the given light or dark palette.
    static QColor toneColor(Tone tone, const QPalette& palette);
    // Small text under a field, wrapping onto as many lines as it needs, in a tone that follows
    // the light or dark palette. Sizes in pixels, as the kit's fonts.
    static QLabel* caption(const QString& text, Tone tone = Tone::secondary, int pixelSize = 11,
                           QFont::Weight weight = QFont::Normal);
    // Draws a text field or checkbox as the sheets do (a visible rounded border in both schemes).
    static void styleField(QWidget* field);
    // A text field drawn as the sheets draw them; screen readers read `name`, else the placeholder.
    static QLineEdit* textField(const QString& placeholder, const QString& name = {}, QWidget* parent = nullptr);
    // A field for a password whose text goes to no input method's history and no clipboard.
    static QLineEdit* passwordField(const QString& placeholder, QWidget* parent = nullptr);
    // The symbol in the text's tone before a wrapping text, in one row.
    static QWidget* symbolLabel(const QString& symbol, QLabel* text, Tone tone);

protected:
    SheetDialog(SheetModel* model, int width, QWidget* parent);

    // The header: the symbol in a tile, the title and the subtitle (none when empty and not bound).
    void setHeader(const QString& symbol, const QString& title, const QString& subtitle = {});
    void bindSubtitle(std::function<QString()> subtitle);
    // A new field group below the previous one; rows are added to the returned layout.
    QVBoxLayout* addGroup();
    // A row of its own between the groups (the kind picker, a message).
    void addRow(QWidget* widget);
    // The button row, last. `destructive` draws the primary button in the critical gradient.
    void addButtons(bool destructive = false);

    void bind(QLineEdit* edit, std::function<QString()> get, std::function<void(const QString&)> set);
    void bind(QCheckBox* box, std::function<bool()> get, std::function<void(bool)> set);
    // Shows `widget` only while `visible` holds.
    void bindVisible(QWidget* widget, std::function<bool()> visible);
    // A label shown only while there is a text.
    void bindMessage(QLabel* label, std::function<std::optional<QString>()> text, QWidget* shown = nullptr);
    void bindText(QLabel* label, std::function<QString()> text);
    void bindText(QAbstractButton* button, std::function<QString()> text);
    void bindPrimary(std::function<QString()> label, std::function<bool()> enabled);

    // The vault's password field, named "password", in `group` and bound to the model.
    QLineEdit* addPasswordField(QVBoxLayout* group, VaultPasswordModel& model, const QString& placeholder);
    // The optional hint field named "hint" with its caption, bound to a hint; with `message`, the
    // line under them that says why the hint is refused, named "hintMessage".
    void addHintFields(QVBoxLayout* group, std::function<QString()> get, std::function<void(const QString&)> set,
                       std::function<std::optional<QString>()> message = {});
    // Runs after every bound widget was updated, for what a sheet redraws itself.
    void onRefresh(std::function<void()> refresh);

    // What the primary button (and Return) does.
    virtual void primaryAction() = 0;

    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void refresh();
    void fitHeight();
    void keepOnScreen();

    SheetModel* model_;
    int width_;
    QScrollArea* scroll_;
    QWidget* content_;
    QVBoxLayout* root_;
    QVBoxLayout* foot_;
    SheetHeader* header_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* primary_ = nullptr;
    std::vector<std::function<void()>> syncs_;
    bool refreshing_ = false;
    // Placed over its parent by the first show; moved to stay on the screen only from then on.
    bool placed_ = false;
    bool again_ = false;
};

} // namespace larkhold
