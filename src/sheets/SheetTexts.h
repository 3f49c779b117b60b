#pragma once

#include "Glossary.h"

#include <QString>

namespace larkhold {

// Texts the vault sheets show in more than one place, and those built from the glossary's words.
// A text used once lives next to the code that shows it.
namespace SheetTexts {

inline const QString cancel = QStringLiteral("Cancel");
inline const QString password = QStringLiteral("Password");

inline const QString nameHasSeparator = QStringLiteral("The name can’t contain “/” or “:”.");
inline const QString nameHasControl = QStringLiteral("The name can’t contain line breaks or other control characters.");
inline const QString nameIsDots = QStringLiteral("The name can’t be “.” or “..”.");
inline const QString nameStartsWithDot = QStringLiteral("The name can’t begin with “.”.");
inline const QString passwordTooShort = QStringLiteral("Password must be at least 6 characters.");
inline const QString passwordHoldsZeroCharacter =
    QStringLiteral("A password can’t contain the zero character (U+0000). Type it again without it.");
inline const QString passwordsDiffer = QStringLiteral("Passwords don’t match.");
inline const QString hintTooLong = QStringLiteral("Password hint must be 120 characters or less.");
inline const QString hintIsPassword = QStringLiteral("Password hint cannot be the same as the password.");

inline const QString hintField = QStringLiteral("Password hint (optional)");
inline const QString hintPlaceholder = QStringLiteral("e.g. Month + pet name");
inline const QString hintCaption = QStringLiteral("Stored as plaintext with the vault file — anyone with the file can "
                                                  "read the hint. Does not unlock, recover, or reset the password.");
inline const QString rememberPassword = QStringLiteral("Remember password in my ") + glossary::keyring;

inline const QString wrongPassword = QStringLiteral("Wrong password.");
inline const QString limitBelowUse =
    QStringLiteral("The new limit is smaller than the space the files inside currently use. Delete files first (and "
                   "reclaim free space), or choose a larger limit.");

// "the file manager" where the other desktop names its file browser.
inline const QString inTheFileManager = QStringLiteral("in the ") + glossary::fileManager;

} // namespace SheetTexts

} // namespace larkhold
