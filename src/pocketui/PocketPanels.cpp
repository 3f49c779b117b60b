#include "PocketPanels.h"

#include "PocketEditorModel.h"
#include "PocketExport.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QQueue>
#include <QStandardPaths>
#include <QTimer>

namespace larkhold::PocketPanels {

namespace {

QQueue<std::optional<QStringList>>& scriptedAnswers() {
    static QQueue<std::optional<QStringList>> answers;
    return answers;
}

// The panels are Qt's own (not the desktop's), so that the message can sit in them.
QFileDialog* makePanel(QWidget* parent, const QString& message,
                       const QString& folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)) {
    auto* panel = new QFileDialog(parent);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setDirectory(folder);
    auto* note = new QLabel(message, panel);
    note->setTextFormat(Qt::PlainText);
    note->setObjectName(QStringLiteral("panelMessage"));
    note->setWordWrap(true);
    if (auto* grid = qobject_cast<QGridLayout*>(panel->layout()))
        grid->addWidget(note, grid->rowCount(), 0, 1, grid->columnCount());
    return panel;
}

// Where a save panel opens: the folder it last saved to, else the folder of the vault whose window
// it is over, else the home folder.
enum class SaveKind { exportItem, copy };

QString& lastFolder(SaveKind kind) {
    static QString folders[2];
    return folders[static_cast<int>(kind)];
}

QString startFolder(QWidget* parent, SaveKind kind) {
    if (!lastFolder(kind).isEmpty())
        return lastFolder(kind);
    const QString vaultFolder = parent ? parent->window()->property("vaultFolder").toString() : QString();
    return vaultFolder.isEmpty() ? QDir::homePath() : vaultFolder;
}

void rememberFolder(SaveKind kind, const QString& path) {
    lastFolder(kind) = QFileInfo(path).absolutePath();
}

// Runs `answer` with a scripted reply on the next turn of the event loop, as a panel would.
bool answeredByScript(QObject* context, const std::function<void(const QStringList&)>& answer) {
    if (scriptedAnswers().isEmpty())
        return false;
    const std::optional<QStringList> reply = scriptedAnswers().dequeue();
    QTimer::singleShot(0, context, [reply, answer] {
        if (reply)
            answer(*reply);
    });
    return true;
}

} // namespace

QFileDialog* makeExportPanel(QWidget* parent, const QString& proposedName) {
    QFileDialog* panel = makePanel(parent, PocketExport::panelMessage(), startFolder(parent, SaveKind::exportItem));
    panel->setWindowTitle(QStringLiteral("Export"));
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->setLabelText(QFileDialog::Accept, QStringLiteral("Export"));
    // Replacing a file is asked about first; the write itself replaces whole or not at all.
    panel->setOption(QFileDialog::DontConfirmOverwrite, false);
    panel->selectFile(proposedName);
    return panel;
}

QFileDialog* makeAddPanel(QWidget* parent) {
    QFileDialog* panel = makePanel(parent, PocketEditorModel::addFilesMessage());
    panel->setWindowTitle(QStringLiteral("Add Files"));
    panel->setAcceptMode(QFileDialog::AcceptOpen);
    panel->setFileMode(QFileDialog::ExistingFiles);
    panel->setLabelText(QFileDialog::Accept, QStringLiteral("Add"));
    // The import decides by content; the filter only helps to find the files.
    panel->setNameFilters({QStringLiteral("Notes, photos and PDFs (*.txt *.text *.md *.jpg *.jpeg *.png *.heic *.heif "
                                          "*.pdf)"),
                           QStringLiteral("All files (*)")});
    return panel;
}

void chooseExportPath(QWidget* parent, const QString& proposedName, std::function<void(const QString&)> chosen) {
    if (answeredByScript(parent, [chosen](const QStringList& paths) {
            if (!paths.isEmpty())
                chosen(paths.front());
        }))
        return;
    QFileDialog* panel = makeExportPanel(parent, proposedName);
    QObject::connect(panel, &QFileDialog::fileSelected, parent, [chosen](const QString& path) {
        rememberFolder(SaveKind::exportItem, path);
        chosen(path);
    });
    panel->open();
}

void chooseCopyPath(QWidget* parent, const QString& proposedName, std::function<void(const QString&)> chosen) {
    if (answeredByScript(parent, [chosen](const QStringList& paths) {
            if (!paths.isEmpty())
                chosen(paths.front());
        }))
        return;
    QFileDialog* panel = makePanel(parent, QStringLiteral("The copy opens with the same passwords as this vault."),
                                   startFolder(parent, SaveKind::copy));
    panel->setWindowTitle(QStringLiteral("Save a Copy"));
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->setLabelText(QFileDialog::Accept, QStringLiteral("Save"));
    // A copy never replaces a file; the write says so when the name is taken.
    panel->setOption(QFileDialog::DontConfirmOverwrite, true);
    panel->selectFile(proposedName);
    QObject::connect(panel, &QFileDialog::fileSelected, parent, [chosen](const QString& path) {
        rememberFolder(SaveKind::copy, path);
        chosen(path);
    });
    panel->open();
}

void chooseFilesToAdd(QWidget* parent, std::function<void(const QStringList&)> chosen) {
    if (answeredByScript(parent, chosen))
        return;
    QFileDialog* panel = makeAddPanel(parent);
    QObject::connect(panel, &QFileDialog::filesSelected, parent, [chosen](const QStringList& paths) { chosen(paths); });
    panel->open();
}

void answerNextPanel(std::optional<QStringList> answer) {
    scriptedAnswers().enqueue(std::move(answer));
}

} // namespace larkhold::PocketPanels
