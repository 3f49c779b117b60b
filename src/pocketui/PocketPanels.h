#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QFileDialog;
class QWidget;

namespace larkhold::PocketPanels {

// The save panel of an export: the proposed name, the warning that the copy is not encrypted, and
// the question before an existing file is replaced. Opens without blocking; `chosen` runs with the
// path once the user confirmed one, never when the panel was cancelled.
void chooseExportPath(QWidget* parent, const QString& proposedName, std::function<void(const QString&)> chosen);

// The save panel of "Save a Copy…", for the vault's items when its file was changed elsewhere.
void chooseCopyPath(QWidget* parent, const QString& proposedName, std::function<void(const QString&)> chosen);

// The open panel of "Add Files…": notes, photos and PDFs, several at once.
void chooseFilesToAdd(QWidget* parent, std::function<void(const QStringList&)> chosen);

// The panels as they are shown, for the windows' tests to look at.
QFileDialog* makeExportPanel(QWidget* parent, const QString& proposedName);
QFileDialog* makeAddPanel(QWidget* parent);

// Test seam: the next panel is not shown but answers with these paths (nothing: cancelled).
void answerNextPanel(std::optional<QStringList> answer);

} // namespace larkhold::PocketPanels
