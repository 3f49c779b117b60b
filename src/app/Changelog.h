#pragma once

#include <QList>
#include <QString>

namespace larkhold {

class Defaults;

// The notable changes of one released version, as the What's New window lists them.
struct ChangelogEntry {
    struct Point {
        QString icon; // symbol name
        QString name;
        QString detail;
    };
    QString version; // compared exactly with the application's version
    QString title;
    QList<Point> points;
};

namespace Changelog {

// Newest first. Versions are unique, and so are the point names within an entry.
const QList<ChangelogEntry>& entries();
const ChangelogEntry* entryFor(const QString& version);

// The application's short version, "0" when it has none.
QString currentVersion();

// Records `current` as the version of this launch and says whether the What's New window opens by itself: only
// after a launch of a different version (older or newer), and only when the list has an entry for this one.
bool recordLaunch(Defaults& defaults, const QString& current);

} // namespace Changelog
} // namespace larkhold
