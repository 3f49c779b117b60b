#pragma once

#include <QCoreApplication>
#include <QList>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QWidget;

namespace larkhold {

// A modal alert as the windows describe it.
struct AlertSpec {
    QString objectName;
    QString title; // the window title; the desktop may not show it
    QString text;  // the message, in bold
    QString informativeText;
    QStringList buttons; // in order; the first is the default unless `defaultButton` says otherwise
    int defaultButton = 0;
    int cancelButton = -1; // answered by Esc and by closing the alert
    int destructiveButton = -1;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// An open panel that picks a file, or a folder that is a vault bundle (".sparsebundle", ".nosync").
struct FileChoiceSpec {
    QString objectName;
    QString acceptLabel;
    QString message;
    // Shown first when it exists; otherwise the panel's own default.
    QString directory;
};

// The alerts and panels of the home screens. They open with open() and answer through a callback;
// nothing nests an event loop except runAlert, which the store's host interface needs answered in
// place. Tests answer them through the seam below instead of clicking.
namespace Dialogs {

// Window-modal over `parent` (application-modal without one). `done` gets the index of the button,
// or the cancel button's (-1 without one) when the alert is closed otherwise.
QMessageBox* alert(QWidget* parent, const AlertSpec& spec, std::function<void(int)> done);
// The same alert, answered before it returns.
int runAlert(QWidget* parent, const AlertSpec& spec);
// `done` gets the chosen path, or nothing when the panel was cancelled.
void chooseFile(QWidget* parent, const FileChoiceSpec& spec, std::function<void(std::optional<QString>)> done);

// The alert as a widget, not shown; for screens.
QMessageBox* makeAlert(QWidget* parent, const AlertSpec& spec);

// Shows a message box's text and informative text as plain text; call after setting both.
void keepPlain(QMessageBox* box);
// Makes every tooltip of the application show its text as plain text: tooltips hold vault names,
// paths and error texts.
void installPlainToolTips(QCoreApplication* application);
// What a tooltip shows for `text`: the text itself, escaped when Qt would take it for markup.
QString plainToolTip(const QString& text);
// Whether a folder is picked as a vault rather than opened in the panel.
bool isVaultBundle(const QString& path);

// ---- the seam for tests ----
// Queued answers are taken one per alert or panel, in order; with an answer queued nothing is
// shown and `done` runs before the call returns. Everything asked for is recorded.
void answerNextAlert(int buttonIndex);
void answerNextFileChoice(std::optional<QString> path);
const QList<AlertSpec>& askedAlerts();
const QList<FileChoiceSpec>& askedFileChoices();
void resetSeam();

} // namespace Dialogs

} // namespace larkhold
