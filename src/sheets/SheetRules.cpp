#include "SheetRules.h"

#include "SheetTexts.h"

#include <QList>
#include <QTextBoundaryFinder>

namespace larkhold {

namespace {

constexpr qint64 kMiB = 1'048'576;
constexpr qint64 kSmallestLimitMB = 16;

// Spaces a name loses at its ends: the tab and every Unicode space separator, but no line break.
bool isNameSpace(QChar c) {
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

// Control characters (U+0000 included) and the Unicode line and paragraph separators.
bool breaksALine(char32_t scalar) {
    switch (QChar::category(scalar)) {
    case QChar::Other_Control:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

qsizetype characterCount(const QString& text) {
    const QString composed = text.normalized(QString::NormalizationForm_C);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, composed);
    qsizetype count = 0;
    qsizetype start = 0;
    while (finder.toNextBoundary() != -1) {
        if (finder.position() > start)
            ++count;
        start = finder.position();
    }
    return count;
}

bool sameText(const QString& a, const QString& b) {
    return a == b || a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

QString trimmedVaultName(const QString& name) {
    qsizetype begin = 0;
    qsizetype end = name.size();
    while (begin < end && isNameSpace(name.at(begin)))
        ++begin;
    while (end > begin && isNameSpace(name.at(end - 1)))
        --end;
    return name.mid(begin, end - begin);
}

std::optional<QString> vaultNameProblem(const QString& trimmedName) {
    if (trimmedName.isEmpty())
        return std::nullopt;
    if (trimmedName.contains(u'/') || trimmedName.contains(u':'))
        return SheetTexts::nameHasSeparator;
    for (const char32_t scalar : trimmedName.toUcs4()) {
        if (breaksALine(scalar))
            return SheetTexts::nameHasControl;
    }
    if (trimmedName == QLatin1String(".") || trimmedName == QLatin1String(".."))
        return SheetTexts::nameIsDots;
    // The disk-image tools refuse such a volume name, and the file would be hidden.
    if (trimmedName.startsWith(u'.'))
        return SheetTexts::nameStartsWithDot;
    return std::nullopt;
}

bool isLongEnoughPassword(const QString& password) {
    return characterCount(password) >= kMinimumPasswordLength;
}

bool holdsZeroCharacter(const QString& password) {
    return password.contains(QChar(u'\0'));
}

bool isUsableNewPassword(const QString& password) {
    return isLongEnoughPassword(password) && !holdsZeroCharacter(password);
}

std::optional<QString> passwordHintValidationMessage(const QString& hint, const QString& password) {
    const QString trimmed = hint.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    if (characterCount(trimmed) > kMaximumHintLength)
        return SheetTexts::hintTooLong;
    if (!password.isEmpty() && sameText(password, trimmed))
        return SheetTexts::hintIsPassword;
    return std::nullopt;
}

std::optional<QString> normalizedPasswordHint(const QString& hint) {
    const QString trimmed = hint.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

qint64 minimumLimitMB(std::optional<qint64> bytesOnDisk) {
    if (!bytesOnDisk || *bytesOnDisk <= 0)
        return kSmallestLimitMB;
    const qint64 wholeMiB = *bytesOnDisk / kMiB + (*bytesOnDisk % kMiB != 0 ? 1 : 0);
    return std::max(wholeMiB, kSmallestLimitMB);
}

} // namespace larkhold
