#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace larkhold {

// The rules every vault sheet shares: how names, passwords and hints are measured and checked, and
// in which form a hint is stored. Pure functions; the create, rename, settings and change-password
// sheets (and the Pocket windows' second password) all go through these, never through copies.

// What a person sees as one character: grapheme clusters of the text in its composed (NFC) form.
qsizetype characterCount(const QString& text);

// Whether two texts are the same for a person: equal once both are composed (canonically equivalent
// texts are equal; letter case counts).
bool sameText(const QString& a, const QString& b);

// A typed vault name without the spaces, tabs and other space separators at either end. Line
// breaks stay, so that the name rule sees and refuses them.
QString trimmedVaultName(const QString& name);

// The first problem of a trimmed vault name, or nothing. An empty name has no message (the sheets
// only keep their button disabled). A name becomes a file name and a line of the vault list, so
// besides "/" and ":" it may hold no control characters or line breaks, may not be "." or "..", and
// may not begin with ".".
std::optional<QString> vaultNameProblem(const QString& trimmedName);

// New passwords: at least this many characters.
inline constexpr int kMinimumPasswordLength = 6;
bool isLongEnoughPassword(const QString& password);
// The disk-image tools read a password up to its first zero byte, so U+0000 would silently cut it
// short; new passwords may not hold it.
bool holdsZeroCharacter(const QString& password);
// A new password the sheets accept: long enough and without U+0000.
bool isUsableNewPassword(const QString& password);

// Hints: at most this many characters once trimmed.
inline constexpr int kMaximumHintLength = 120;

// The message of a hint as typed against the password it must not give away, or nothing when the
// hint is acceptable (an empty one always is).
std::optional<QString> passwordHintValidationMessage(const QString& hint, const QString& password);

// A hint in the form it is stored: trimmed of white space and line breaks, none when that leaves
// nothing.
std::optional<QString> normalizedPasswordHint(const QString& hint);

// The smallest size limit a standard vault can be given, in MB, from the bytes it takes on disk:
// the whole MiB above them, never below 16. Nothing known counts as nothing used.
qint64 minimumLimitMB(std::optional<qint64> bytesOnDisk);

} // namespace larkhold
