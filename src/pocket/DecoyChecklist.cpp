#include "DecoyChecklist.h"

#include "ByteCount.h"
#include "Crypto.h"

#include <QHash>
#include <QSet>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <array>
#include <set>

namespace larkhold {

namespace {

// The text as user-perceived characters, each in composed form so that an accent typed as a
// combining mark counts the same as a precomposed letter.
QStringList graphemes(const QString& text) {
    QStringList out;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    while (finder.toNextBoundary() != -1) {
        const qsizetype end = finder.position();
        if (end > start)
            out.append(text.mid(start, end - start).normalized(QString::NormalizationForm_C));
        start = end;
    }
    return out;
}

bool isWhitespace(const QString& grapheme) {
    return !grapheme.isEmpty() && grapheme.front().isSpace();
}

QString kindWord(PocketItem::Kind kind, std::int64_t count) {
    const bool one = count == 1;
    switch (kind) {
    case PocketItem::Kind::note:
        return one ? QStringLiteral("note") : QStringLiteral("notes");
    case PocketItem::Kind::image:
        return one ? QStringLiteral("photo") : QStringLiteral("photos");
    case PocketItem::Kind::pdf:
        return one ? QStringLiteral("PDF") : QStringLiteral("PDFs");
    }
    return {};
}

std::int64_t countOfKind(const PocketItems& items, PocketItem::Kind kind) {
    return std::count_if(items.begin(), items.end(), [kind](const PocketItem& i) { return i.kind == kind; });
}

std::int64_t totalBytes(const PocketItems& items) {
    std::int64_t sum = 0;
    for (const PocketItem& item : items)
        sum += std::int64_t(item.data.size());
    return sum;
}

DecoyChecklist::Check countCheck(const PocketItems& decoy) {
    return {QStringLiteral("count"), QStringLiteral("At least 3 items"), QStringLiteral("%1 so far").arg(decoy.size()),
            decoy.size() > 2};
}

// A decoy set with no photos looks wrong next to a vault full of photos. Asking for up to two of
// each kind the vault holds is enough to look alike without copying its shape exactly.
DecoyChecklist::Check mixCheck(const PocketItems& decoy, const PocketItems& main) {
    QStringList shortfalls;
    for (const PocketItem::Kind kind : PocketItem::allKinds) {
        const std::int64_t inMain = countOfKind(main, kind);
        if (inMain == 0)
            continue;
        const std::int64_t need = std::min<std::int64_t>(2, inMain);
        const std::int64_t have = countOfKind(decoy, kind);
        if (need > have)
            shortfalls.append(QStringLiteral("%1 more %2").arg(need - have).arg(kindWord(kind, need - have)));
    }
    const bool passed = shortfalls.isEmpty();
    return {QStringLiteral("mix"), QStringLiteral("A similar mix of items"),
            passed ? QStringLiteral("Matches your vault")
                   : QStringLiteral("Add ") + shortfalls.join(QStringLiteral(", ")),
            passed};
}

DecoyChecklist::Check amountCheck(std::int64_t decoyBytes, std::int64_t mainBytes) {
    const std::int64_t target = mainBytes / 4;
    const bool passed = decoyBytes >= target;
    return {QStringLiteral("amount"), QStringLiteral("A believable amount"),
            passed ? formatByteCount(decoyBytes)
                   : formatByteCount(decoyBytes) + QStringLiteral(" of at least ") + formatByteCount(target),
            passed};
}

DecoyChecklist::Check notesCheck(const PocketItems& decoy) {
    for (const PocketItem& item : decoy) {
        if (item.kind == PocketItem::Kind::note && !DecoyChecklist::looksLikeRealText(item.text())) {
            return {QStringLiteral("notes"), QStringLiteral("Notes read like real notes"),
                    QStringLiteral("Rewrite “") + item.name + QStringLiteral("” — too short or repetitive"), false};
        }
    }
    return {QStringLiteral("notes"), QStringLiteral("Notes read like real notes"), QStringLiteral("No filler text"),
            true};
}

// Items are compared by their bytes alone: a copy under another name is still a copy, and
// someone comparing both sets would notice it.
DecoyChecklist::Check uniqueCheck(const PocketItems& decoy, const PocketItems& main) {
    using Digest = std::array<std::uint8_t, 32>;
    std::set<Digest> mainDigests;
    for (const PocketItem& item : main)
        mainDigests.insert(crypto::sha256(item.data));
    std::set<Digest> decoyDigests;
    bool overlap = false;
    for (const PocketItem& item : decoy) {
        const Digest digest = crypto::sha256(item.data);
        overlap = overlap || mainDigests.contains(digest);
        decoyDigests.insert(digest);
    }
    const bool duplicates = decoyDigests.size() < decoy.size();
    QString detail = QStringLiteral("Every item is its own");
    if (overlap)
        detail = QStringLiteral("Remove items that are also in your vault");
    else if (duplicates)
        detail = QStringLiteral("Remove duplicate items");
    return {QStringLiteral("unique"), QStringLiteral("Nothing copied or repeated"), detail, !overlap && !duplicates};
}

} // namespace

std::vector<DecoyChecklist::Check> DecoyChecklist::checks(const PocketItems& decoy, const PocketItems& main) {
    std::vector<Check> rows;
    rows.push_back(countCheck(decoy));
    if (!main.empty())
        rows.push_back(mixCheck(decoy, main));
    if (const std::int64_t mainBytes = totalBytes(main); mainBytes >= 1)
        rows.push_back(amountCheck(totalBytes(decoy), mainBytes));
    rows.push_back(notesCheck(decoy));
    rows.push_back(uniqueCheck(decoy, main));
    return rows;
}

bool DecoyChecklist::looksLikeRealText(const QString& text) {
    const QStringList chars = graphemes(text.trimmed());
    if (chars.size() < 20)
        return false;

    QStringList words;
    QString word;
    for (const QString& c : chars) {
        if (isWhitespace(c)) {
            if (!word.isEmpty())
                words.append(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.isEmpty())
        words.append(word);
    if (words.size() < 3)
        return false;

    // Letters: the lower-cased text without whitespace, counted per character.
    const QStringList lowered = graphemes(text.trimmed().toLower());
    QHash<QString, qsizetype> counts;
    qsizetype letters = 0;
    for (const QString& c : lowered) {
        if (isWhitespace(c))
            continue;
        ++counts[c];
        ++letters;
    }
    if (counts.size() < 8)
        return false;
    const qsizetype highest = *std::max_element(counts.cbegin(), counts.cend());
    if (double(highest) / double(letters) > 0.35)
        return false;

    if (words.size() <= 5)
        return true;
    QSet<QString> distinctWords;
    for (const QString& w : words)
        distinctWords.insert(w.toLower().normalized(QString::NormalizationForm_C));
    return double(distinctWords.size()) / double(words.size()) >= 0.4;
}

} // namespace larkhold
