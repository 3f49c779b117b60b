#include "PasswordStrength.h"

#include <QRegularExpression>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <cmath>
#include <unicode/uchar.h>
#include <vector>

namespace larkhold {

namespace {

const QString kCommonTip = QStringLiteral("Avoid common passwords like “password” or “123456”.");
const QString kWordNumberTip =
    QStringLiteral("A word plus a number or year is easy to guess — add more unrelated words.");
const QString kLengthTip = QStringLiteral("Longer is stronger — aim for 12 characters or more.");
const QString kPatternTip = QStringLiteral("Avoid repeats and sequences like “aaa” or “1234”.");
const QString kWordsTip = QStringLiteral("Or use four or more unrelated words, separated by spaces.");
const QString kMixTip = QStringLiteral("Mix in capitals, numbers or symbols.");

// A user-perceived character (extended grapheme cluster) and its scalars.
struct Character {
    QString text;
    std::vector<char32_t> scalars;
};

std::vector<Character> characters(const QString& s) {
    std::vector<Character> out;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    qsizetype start = 0;
    while (finder.toNextBoundary() != -1) {
        const qsizetype end = finder.position();
        if (end <= start)
            continue;
        Character c;
        c.text = s.mid(start, end - start);
        for (const char32_t u : c.text.toUcs4())
            c.scalars.push_back(u);
        out.push_back(std::move(c));
        start = end;
    }
    return out;
}

// Character classes follow the Unicode properties rather than the general categories that QChar
// offers: circled letters are Alphabetic, ª and modifier letters such as ʰ are Lowercase, and
// Han numerals have a numeric type although they are not in a number category.
bool isLetter(const Character& c) {
    return u_hasBinaryProperty(UChar32(c.scalars.front()), UCHAR_ALPHABETIC);
}

bool isNumber(const Character& c) {
    return u_getIntPropertyValue(UChar32(c.scalars.front()), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool hasProperty(const Character& c, UProperty property) {
    return c.scalars.size() == 1 && u_hasBinaryProperty(UChar32(c.scalars.front()), property);
}

// A character that some case mapping affects, or a single scalar that Unicode marks as cased.
bool isCased(const Character& c) {
    return hasProperty(c, UCHAR_CASED) || c.text.toLower() != c.text || c.text.toUpper() != c.text;
}

bool isLowerCase(const Character& c) {
    return hasProperty(c, UCHAR_LOWERCASE) || (c.text.toLower() == c.text && isCased(c));
}

bool isUpperCase(const Character& c) {
    return hasProperty(c, UCHAR_UPPERCASE) || (c.text.toUpper() == c.text && isCased(c));
}

bool isAscii(const Character& c) {
    if (c.scalars.size() == 1)
        return c.scalars.front() < 128;
    return c.scalars.size() == 2 && c.scalars[0] == U'\r' && c.scalars[1] == U'\n';
}

bool isPassphraseSeparator(const Character& c) {
    static const QString separators = QStringLiteral(" -_.,");
    return c.text.size() == 1 && separators.contains(c.text.front());
}

// Four or more words of at least three letters each, and long enough overall: easy to remember
// and hard to guess even in lower case.
bool isPassphrase(const std::vector<Character>& chars) {
    if (chars.size() < 16)
        return false;
    int words = 0;
    std::size_t pieceLength = 0;
    bool lettersOnly = true;
    const auto endPiece = [&] {
        if (pieceLength >= 3 && lettersOnly)
            ++words;
        pieceLength = 0;
        lettersOnly = true;
    };
    for (const Character& c : chars) {
        if (isPassphraseSeparator(c)) {
            endPiece();
            continue;
        }
        ++pieceLength;
        lettersOnly = lettersOnly && isLetter(c);
    }
    endPiece();
    return words >= 4;
}

int characterPool(const std::vector<Character>& chars) {
    bool lower = false, upper = false, number = false, asciiSymbol = false, nonAscii = false;
    for (const Character& c : chars) {
        lower = lower || isLowerCase(c);
        upper = upper || isUpperCase(c);
        const bool numeric = isNumber(c);
        number = number || numeric;
        if (isAscii(c))
            asciiSymbol = asciiSymbol || (!isLetter(c) && !numeric);
        else
            nonAscii = true;
    }
    return (lower ? 26 : 0) + (upper ? 26 : 0) + (number ? 10 : 0) + (asciiSymbol ? 33 : 0) + (nonAscii ? 100 : 0);
}

// Length discounted for what guessers try first: a repeated scalar adds nothing and a step to
// the neighbouring code point adds half.
double effectiveLength(const QString& password, bool& pattern) {
    pattern = false;
    const QList<uint> scalars = password.toUcs4();
    double length = 0;
    for (qsizetype i = 0; i < scalars.size(); ++i) {
        if (i == 0) {
            length += 1.0;
            continue;
        }
        const qint64 delta = qint64(scalars[i]) - qint64(scalars[i - 1]);
        if (delta == 0) {
            pattern = true;
        } else if (delta == 1 || delta == -1) {
            pattern = true;
            length += 0.5;
        } else {
            length += 1.0;
        }
    }
    return length;
}

bool containsCommonPassword(const QString& password) {
    const QString lower = password.toLower();
    for (const char* entry : CommonPasswords::list()) {
        if (lower.contains(QLatin1String(entry)))
            return true;
    }
    return false;
}

PasswordStrength::Level levelForBits(double bits) {
    if (bits >= 60)
        return PasswordStrength::Level::strong;
    if (bits >= 45)
        return PasswordStrength::Level::good;
    if (bits >= 30)
        return PasswordStrength::Level::fair;
    return PasswordStrength::Level::weak;
}

} // namespace

std::optional<PasswordStrength::Level> PasswordStrength::levelFromRawValue(int raw) {
    if (raw < 0 || raw > 3)
        return std::nullopt;
    return static_cast<Level>(raw);
}

PasswordStrength::PasswordStrength(const QString& password) {
    if (containsCommonPassword(password)) {
        level = Level::weak;
        tip = kCommonTip;
        return;
    }

    const std::vector<Character> chars = characters(password);
    if (isPassphrase(chars)) {
        level = Level::strong;
        return;
    }

    const int pool = characterPool(chars);
    bool pattern = false;
    double length = effectiveLength(password, pattern);

    static const QRegularExpression year(QStringLiteral("(19|20)[0-9]{2}"));
    if (year.match(password).hasMatch())
        length = std::max(0.0, length - 2.0);

    const double bits = std::log2(double(std::max(pool, 1))) * length;

    static const QRegularExpression wordPlusNumber(QStringLiteral("\\A[A-Za-z]{3,}[0-9]{1,4}[^A-Za-z0-9]{0,2}\\z"));
    const bool isWordPlusNumber = wordPlusNumber.match(password).hasMatch();

    if (bits >= 60 && !isWordPlusNumber) {
        level = Level::strong;
        return;
    }
    if (isWordPlusNumber) {
        // Guessers try exactly this shape first, however many bits it seems to have.
        level = bits >= 30 ? Level::fair : Level::weak;
        tip = kWordNumberTip;
        return;
    }

    level = levelForBits(bits);
    if (chars.size() < 12)
        tip = kLengthTip;
    else if (pattern)
        tip = kPatternTip;
    else if (pool > 26)
        tip = kWordsTip;
    else
        tip = kMixTip;
}

} // namespace larkhold
