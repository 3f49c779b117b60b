#pragma once

#include "UpdateChecker.h"

class QMessageBox;

namespace larkhold::UpdateAlert {

QString messageText(const UpdateRelease& release);
QString informativeText(const QString& currentVersion);

// The alert as a message box with "View Download" (default), "Skip This Version" and "Later"; Esc and
// closing count as later. Opens without a nested event loop and answers through the callback.
QMessageBox* present(const UpdateRelease& release, const QString& currentVersion,
                     std::function<void(UpdateChecker::AlertChoice)> answer);

} // namespace larkhold::UpdateAlert
