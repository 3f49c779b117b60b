#include "Dialogs.h"

#include "Theme.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QQueue>
#include <QTextDocument>
#include <QToolTip>
#include <algorithm>

namespace larkhold::Dialogs {

namespace {

struct Seam {
    QQueue<int> alertAnswers;
    QQueue<std::optional<QString>> fileAnswers;
    QList<AlertSpec> alerts;
    QList<FileChoiceSpec> files;
};

Seam& seam() {
    static Seam s;
    return s;
}

// Brings the application forward first: the alert must be seen even while no window of ours is.
void activate(QWidget* parent) {
    if (parent && parent->isVisible()) {
        parent->raise();
        parent->activateWindow();
    }
}

// Accepts a vault bundle folder as the choice where a plain panel would open it. The choice is told
// by its name alone: a file with a bundle's name is chosen as the panel would choose it, and one
// that is not there is refused by the store with its own words.
class VaultFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;
    QString chosen;

    void accept() override {
        const QStringList files = selectedFiles();
        if (files.size() == 1 && isVaultBundle(files.first())) {
            chosen = files.first();
            QDialog::accept();
            return;
        }
        QFileDialog::accept();
    }

    // The panel has settled on a file when it is done, and `finished` goes out from inside this:
    // the choice must be taken first, or the answer would already have gone out empty.
    void done(int result) override {
        if (result == QDialog::Accepted && chosen.isEmpty()) {
            const QStringList files = selectedFiles();
            if (!files.isEmpty())
                chosen = files.first();
        }
        QFileDialog::done(result);
    }
};

// The panel's message as a line of its own above the panel's rows, as the desktop's panels show theirs.
void addMessage(QFileDialog* dialog, const QString& text) {
    auto* grid = qobject_cast<QGridLayout*>(dialog->layout());
    if (!grid || text.isEmpty())
        return;
    auto* message = new QLabel(text, dialog);
    message->setObjectName(QStringLiteral("panelMessage"));
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    struct Placed {
        QLayoutItem* item;
        int row, column, rows, columns;
    };
    QList<Placed> placed;
    const int columns = grid->columnCount();
    while (grid->count() > 0) {
        Placed p{};
        grid->getItemPosition(0, &p.row, &p.column, &p.rows, &p.columns);
        p.item = grid->takeAt(0);
        placed.append(p);
    }
    grid->addWidget(message, 0, 0, 1, columns);
    for (const Placed& p : placed)
        grid->addItem(p.item, p.row + 1, p.column, p.rows, p.columns);
}

} // namespace

bool isVaultBundle(const QString& path) {
    const QString suffix = QFileInfo(path).suffix();
    return suffix == QLatin1String("sparsebundle") || suffix == QLatin1String("nosync");
}

QMessageBox* makeAlert(QWidget* parent, const AlertSpec& spec) {
    auto* box = new QMessageBox(parent);
    box->setObjectName(spec.objectName);
    box->setWindowTitle(spec.title.isEmpty() ? QStringLiteral("Larkhold") : spec.title);
    box->setTextFormat(Qt::PlainText);
    box->setText(spec.text);
    // Like the desktop's own alerts: the application's icon, the message in bold.
    if (spec.icon == QMessageBox::NoIcon || spec.icon == QMessageBox::Information)
        box->setIconPixmap(AppIconImage::applicationIcon().pixmap(QSize(56, 56), box->devicePixelRatioF()));
    else
        box->setIcon(spec.icon);
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
    }
    box->setInformativeText(spec.informativeText);
    keepPlain(box);
    for (int i = 0; i < spec.buttons.size(); ++i) {
        QMessageBox::ButtonRole role = QMessageBox::AcceptRole;
        if (i == spec.cancelButton)
            role = QMessageBox::RejectRole;
        else if (i == spec.destructiveButton)
            role = QMessageBox::DestructiveRole;
        QPushButton* button = box->addButton(spec.buttons.at(i), role);
        button->setProperty("answer", i);
        if (i == spec.defaultButton)
            box->setDefaultButton(button);
        if (i == spec.cancelButton)
            box->setEscapeButton(button);
    }
    if (parent) {
        box->setWindowModality(Qt::WindowModal);
        if (parent->window()->testAttribute(Qt::WA_SetPalette))
            box->setPalette(parent->window()->palette());
    } else {
        box->setWindowModality(Qt::ApplicationModal);
    }
    return box;
}

void keepPlain(QMessageBox* box) {
    // Names, paths and error texts are the user's or a tool's words, never markup; plain text also keeps
    // the line breaks.
    for (QLabel* label : box->findChildren<QLabel*>()) {
        if (label->objectName() != u"qt_msgbox_label" && label->objectName() != u"qt_msgbox_informativelabel")
            continue;
        label->setTextFormat(Qt::PlainText);
        // A wrapping label asks for little width, and the box would take only what its title and buttons
        // need: a one-line sentence would break in two. Lines up to a readable width keep to one line.
        constexpr int kReadableWidth = 420;
        label->ensurePolished();
        const QFontMetrics metrics(label->font());
        int widest = 0;
        for (const QString& line : label->text().split(QLatin1Char('\n')))
            widest = std::max(widest, metrics.horizontalAdvance(line));
        const QMargins margins = label->contentsMargins();
        const int around = std::max(label->indent(), 0) + margins.left() + margins.right() + 2 * label->margin() + 4;
        label->setMinimumWidth(std::min(widest + around, kReadableWidth));
    }
}

QString plainToolTip(const QString& text) {
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

namespace {

class PlainToolTips : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::ToolTip || !watched->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        const QString text = widget->toolTip();
        if (text.isEmpty() || !Qt::mightBeRichText(text))
            return false;
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), plainToolTip(text), widget);
        return true;
    }
};

} // namespace

void installPlainToolTips(QCoreApplication* application) {
    const QString name = QStringLiteral("plainToolTips");
    if (application->findChild<QObject*>(name, Qt::FindDirectChildrenOnly))
        return;
    auto* filter = new PlainToolTips(application);
    filter->setObjectName(name);
    application->installEventFilter(filter);
}

namespace {
int answerOf(QMessageBox* box, const AlertSpec& spec) {
    if (QAbstractButton* clicked = box->clickedButton()) {
        bool ok = false;
        const int index = clicked->property("answer").toInt(&ok);
        if (ok)
            return index;
    }
    return spec.cancelButton;
}
} // namespace

QMessageBox* alert(QWidget* parent, const AlertSpec& spec, std::function<void(int)> done) {
    seam().alerts.append(spec);
    if (!seam().alertAnswers.isEmpty()) {
        const int answer = seam().alertAnswers.dequeue();
        if (done)
            done(answer);
        return nullptr;
    }
    QMessageBox* box = makeAlert(parent, spec);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [box, spec, done = std::move(done), over = QPointer(parent)] {
        if (done)
            done(answerOf(box, spec));
        // The keyboard goes back to the window the alert was over, not to whatever the desktop picks.
        if (over && over->isVisible())
            over->window()->activateWindow();
    });
    activate(parent);
    box->open();
    return box;
}

int runAlert(QWidget* parent, const AlertSpec& spec) {
    seam().alerts.append(spec);
    if (!seam().alertAnswers.isEmpty())
        return seam().alertAnswers.dequeue();
    QMessageBox* box = makeAlert(parent, spec);
    activate(parent);
    // The store's host interface asks for the answer in place, so this one alert runs its own loop.
    box->exec();
    const int answer = answerOf(box, spec);
    delete box;
    return answer;
}

void chooseFile(QWidget* parent, const FileChoiceSpec& spec, std::function<void(std::optional<QString>)> done) {
    seam().files.append(spec);
    if (!seam().fileAnswers.isEmpty()) {
        const std::optional<QString> answer = seam().fileAnswers.dequeue();
        if (done)
            done(answer);
        return;
    }
    auto* dialog = new VaultFileDialog(parent);
    dialog->setObjectName(spec.objectName);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // The desktop's own panel cannot pick a bundle folder as a file.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, spec.acceptLabel);
    // The panel keeps its own title; the message is a line inside it, where a sentence has room.
    addMessage(dialog, spec.message);
    // Callers hand only a folder that answered a look off the GUI thread; without one the panel
    // opens where the last choice was made, or in the home folder.
    static QString lastFolder;
    dialog->setDirectory(!spec.directory.isEmpty() ? spec.directory
                         : !lastFolder.isEmpty()   ? lastFolder
                                                   : QDir::homePath());
    dialog->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
        if (!done)
            return;
        if (result == QDialog::Accepted && !dialog->chosen.isEmpty()) {
            lastFolder = QFileInfo(dialog->chosen).absolutePath();
            done(dialog->chosen);
        } else {
            done(std::nullopt);
        }
    });
    activate(parent);
    dialog->open();
}

void answerNextAlert(int buttonIndex) {
    seam().alertAnswers.enqueue(buttonIndex);
}
void answerNextFileChoice(std::optional<QString> path) {
    seam().fileAnswers.enqueue(std::move(path));
}
const QList<AlertSpec>& askedAlerts() {
    return seam().alerts;
}
const QList<FileChoiceSpec>& askedFileChoices() {
    return seam().files;
}
void resetSeam() {
    seam() = Seam{};
}

} // namespace larkhold::Dialogs
