#include "VaultList.h"

#include "ActivityEvent.h"
#include "Defaults.h"
#include "TestFiles.h"
#include "Vault.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace larkhold;
using test::readFile;
using test::writeFile;

namespace {

const char* kId = "6F1C2B7A-0D4E-4C1B-9E55-3A7B2C9D0E11";

QJsonObject minimalRecord() {
    return QJsonObject{
        {"id", kId}, {"name", "Taxes"}, {"bundlePath", "/home/u/Taxes.sparsebundle"}, {"createdAt", 700000000.25}};
}

std::optional<Vault> read(const QJsonObject& o, QString* why = nullptr) {
    return Vault::fromJson(o, why);
}

QJsonObject with(QJsonObject o, const QString& key, const QJsonValue& value) {
    o.insert(key, value);
    return o;
}

QJsonObject without(QJsonObject o, const QString& key) {
    o.remove(key);
    return o;
}

Vault sampleVault(int n) {
    Vault v;
    v.id = QUuid::createUuid();
    v.kind = n % 2 ? VaultKind::pocket : VaultKind::standard;
    v.name = QStringLiteral("Vault “%1” — ü").arg(n);
    v.bundlePath = QStringLiteral("/home/u/Vaults/Vault %1.sparsebundle").arg(n);
    v.maxSizeMB = 1024 * n + 5;
    v.createdAt = Date::now().addingSeconds(-n);
    v.excludedFromCloud = n % 3 == 0;
    v.requireTouchID = n % 2 == 1;
    v.openInFinderAfterUnlock = n % 4 != 0;
    v.autoOpenAtLaunch = n % 5 == 0;
    if (n % 2)
        v.lastOpenedAt = Date::fromReferenceSeconds(0.1 + 0.2 + n); // not representable in short decimal
    if (n % 3)
        v.passwordHint = QStringLiteral("hint %1").arg(n);
    return v;
}

QByteArray listOf(const QList<QJsonObject>& records) {
    QJsonArray a;
    for (const auto& r : records)
        a.append(r);
    return QJsonDocument(a).toJson();
}

// Marks a folder immutable, so that nothing inside can be created, renamed or removed, even by
// root; the tests run as root, where permission bits stop nothing.
class ImmutableFolder {
public:
    explicit ImmutableFolder(const QString& path) : path_(QFile::encodeName(path)) { active_ = setFlag(true); }
    ~ImmutableFolder() { release(); }
    bool active() const { return active_; }
    void release() {
        if (active_)
            setFlag(false);
        active_ = false;
    }

private:
    bool setFlag(bool on) {
        const int fd = ::open(path_.constData(), O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }
    QByteArray path_;
    bool active_ = false;
};

} // namespace

TEST(VaultRecord, MissingOptionalKeysTakeTheirDefaults) {
    const auto v = read(minimalRecord());
    ASSERT_TRUE(v);
    EXPECT_EQ(v->kind, VaultKind::standard);
    EXPECT_EQ(v->maxSizeMB, 1024);
    EXPECT_FALSE(v->excludedFromCloud);
    EXPECT_FALSE(v->requireTouchID);
    EXPECT_TRUE(v->openInFinderAfterUnlock);
    EXPECT_FALSE(v->autoOpenAtLaunch);
    EXPECT_FALSE(v->lastOpenedAt);
    EXPECT_FALSE(v->passwordHint);
    EXPECT_EQ(v->idString(), QString::fromLatin1(kId));
    EXPECT_EQ(v->createdAt.secondsSinceReference, 700000000.25);

    // Nothing optional appears on the way back out.
    const QJsonObject out = v->toJson();
    EXPECT_FALSE(out.contains("lastOpenedAt"));
    EXPECT_FALSE(out.contains("passwordHint"));
    EXPECT_EQ(out.value("kind").toString(), "standard");
    EXPECT_EQ(out.value("openInFinderAfterUnlock").toBool(), true);
}

TEST(VaultRecord, LegacySizeInGigabytes) {
    const auto gbOnly = read(with(minimalRecord(), "maxSizeGB", 2));
    ASSERT_TRUE(gbOnly);
    EXPECT_EQ(gbOnly->maxSizeMB, 2048);
    const QJsonObject out = gbOnly->toJson();
    EXPECT_EQ(out.value("maxSizeMB").toInteger(), 2048);
    EXPECT_FALSE(out.contains("maxSizeGB"));

    const auto both = read(with(with(minimalRecord(), "maxSizeGB", 2), "maxSizeMB", 300));
    ASSERT_TRUE(both);
    EXPECT_EQ(both->maxSizeMB, 300);
    EXPECT_FALSE(both->toJson().contains("maxSizeGB"));

    // A wrong legacy value does not matter once the current key is there.
    EXPECT_TRUE(read(with(with(minimalRecord(), "maxSizeGB", "big"), "maxSizeMB", 300)));
}

TEST(VaultRecord, SizesThatDoNotFitFailTheRecord) {
    // 2^53 GB is 2^63 MB, one more than a signed 64-bit integer holds.
    QString why;
    EXPECT_FALSE(read(with(minimalRecord(), "maxSizeGB", qint64{1} << 53), &why));
    EXPECT_TRUE(why.contains("maxSizeGB")) << why.toStdString();
    EXPECT_FALSE(read(with(minimalRecord(), "maxSizeGB", -(qint64{1} << 53) - 1)));
    EXPECT_FALSE(read(with(minimalRecord(), "maxSizeGB", 1e19)));
    EXPECT_FALSE(read(with(minimalRecord(), "maxSizeMB", 1e19)));

    const auto largest = read(with(minimalRecord(), "maxSizeGB", (qint64{1} << 53) - 1));
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->maxSizeMB, std::numeric_limits<qint64>::max() - 1023);
    const auto smallest = read(with(minimalRecord(), "maxSizeGB", -(qint64{1} << 53)));
    ASSERT_TRUE(smallest);
    EXPECT_EQ(smallest->maxSizeMB, std::numeric_limits<qint64>::min());

    // The full 64-bit range survives the text form.
    const auto huge = Vault::fromJson(QJsonDocument::fromJson(QByteArray("{\"id\":\"") + kId +
                                                              "\",\"name\":\"n\",\"bundlePath\":\"/p\",\"createdAt\":1,"
                                                              "\"maxSizeMB\":9223372036854775807}")
                                          .object());
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->maxSizeMB, std::numeric_limits<qint64>::max());
}

TEST(VaultRecord, WrongValuesFailTheRecord) {
    const std::vector<std::pair<const char*, QJsonObject>> bad{
        {"unknown kind", with(minimalRecord(), "kind", "folder")},
        {"kind in capitals", with(minimalRecord(), "kind", "Pocket")},
        {"flag as text", with(minimalRecord(), "requireTouchID", "yes")},
        {"flag as number", with(minimalRecord(), "excludedFromCloud", 1)},
        {"size as text", with(minimalRecord(), "maxSizeMB", "1024")},
        {"size with fraction", with(minimalRecord(), "maxSizeMB", 1.5)},
        {"legacy size with fraction", with(minimalRecord(), "maxSizeGB", 0.5)},
        {"date as text", with(minimalRecord(), "createdAt", "2024-01-01")},
        {"last opened as text", with(minimalRecord(), "lastOpenedAt", "yesterday")},
        {"hint as number", with(minimalRecord(), "passwordHint", 7)},
        {"name as number", with(minimalRecord(), "name", 7)},
        {"not a UUID", with(minimalRecord(), "id", "6F1C2B7A0D4E4C1B9E553A7B2C9D0E11")},
        {"UUID in braces", with(minimalRecord(), "id", QString("{%1}").arg(kId))},
        {"no id", without(minimalRecord(), "id")},
        {"no name", without(minimalRecord(), "name")},
        {"no path", without(minimalRecord(), "bundlePath")},
        {"no creation date", without(minimalRecord(), "createdAt")},
        {"null name", with(minimalRecord(), "name", QJsonValue::Null)},
    };
    for (const auto& [what, record] : bad) {
        QString why;
        EXPECT_FALSE(read(record, &why)) << what;
        EXPECT_FALSE(why.isEmpty()) << what;
    }
    EXPECT_FALSE(Vault::fromJson(QJsonValue(QJsonArray{})));
}

TEST(VaultRecord, LenientWhereTheFormatAllows) {
    // Null counts as absent for optional keys.
    const auto nulls =
        read(with(with(with(minimalRecord(), "passwordHint", QJsonValue::Null), "lastOpenedAt", QJsonValue::Null),
                  "openInFinderAfterUnlock", QJsonValue::Null));
    ASSERT_TRUE(nulls);
    EXPECT_FALSE(nulls->passwordHint);
    EXPECT_FALSE(nulls->lastOpenedAt);
    EXPECT_TRUE(nulls->openInFinderAfterUnlock);

    // A null kind is a standard vault, and a null size falls back to the legacy key.
    const auto nullKindAndSize = read(
        with(with(with(minimalRecord(), "kind", QJsonValue::Null), "maxSizeMB", QJsonValue::Null), "maxSizeGB", 3));
    ASSERT_TRUE(nullKindAndSize);
    EXPECT_EQ(nullKindAndSize->kind, VaultKind::standard);
    EXPECT_EQ(nullKindAndSize->maxSizeMB, 3072);

    // Unknown keys, lower-case UUIDs, whole-number sizes written as 2048.0, an empty hint.
    const auto v =
        read(with(with(with(with(minimalRecord(), "colour", "red"), "id", QString(kId).toLower()), "maxSizeMB", 2048.0),
                  "passwordHint", ""));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->idString(), QString::fromLatin1(kId));
    EXPECT_EQ(v->maxSizeMB, 2048);
    ASSERT_TRUE(v->passwordHint);
    EXPECT_TRUE(v->passwordHint->isEmpty());
    EXPECT_FALSE(v->toJson().contains("colour"));
}

TEST(VaultListCodec, RoundTripsEveryFieldBitForBit) {
    QList<Vault> vaults;
    for (int n = 0; n < 8; ++n)
        vaults.append(sampleVault(n));
    vaults[0].createdAt = Date::fromReferenceSeconds(-978307200.123456789); // before 2001
    vaults[1].createdAt = Date::fromReferenceSeconds(5e-324);               // smallest double
    vaults[2].createdAt = Date::fromReferenceSeconds(1e300);
    vaults[3].createdAt = Date::fromReferenceSeconds(786000000.0); // whole number

    const QByteArray text = VaultList::encode(vaults);
    const auto back = VaultList::decode(text);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), vaults.size());
    for (qsizetype i = 0; i < vaults.size(); ++i) {
        EXPECT_EQ((*back)[i], vaults[i]) << i;
        EXPECT_EQ(std::memcmp(&(*back)[i].createdAt.secondsSinceReference, &vaults[i].createdAt.secondsSinceReference,
                              sizeof(double)),
                  0)
            << i;
    }
    EXPECT_EQ(VaultList::encode(*back), text);
}

TEST(VaultListCodec, WritesPrettyPrintedWithSortedKeys) {
    const QByteArray text = VaultList::encode({sampleVault(1)});
    EXPECT_TRUE(text.contains("\n    "));
    const char* order[] = {"autoOpenAtLaunch",
                           "bundlePath",
                           "createdAt",
                           "excludedFromCloud",
                           "id",
                           "kind",
                           "lastOpenedAt",
                           "maxSizeMB",
                           "name",
                           "openInFinderAfterUnlock",
                           "requireTouchID"};
    qsizetype last = -1;
    for (const char* key : order) {
        const qsizetype at = text.indexOf(QByteArray("\"") + key + "\"");
        ASSERT_GT(at, last) << key;
        last = at;
    }
}

TEST(VaultListCodec, OneBadRecordFailsTheWholeList) {
    QString why;
    EXPECT_FALSE(VaultList::decode(listOf({minimalRecord(), with(minimalRecord(), "kind", "folder")}), &why));
    EXPECT_TRUE(why.contains("2")) << why.toStdString();
    EXPECT_FALSE(VaultList::decode("{\"not\":\"a list\"}"));
    EXPECT_FALSE(VaultList::decode("[{\"id\":"));
    const auto empty = VaultList::decode("[]");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isEmpty());
}

class VaultListFile : public ::testing::Test {
protected:
    QTemporaryDir root;
    QString folder() const { return root.filePath("Larkhold"); }
    QString file() const { return folder() + "/vaults.json"; }
    QStringList asideFiles() const { return QDir(folder()).entryList({"vaults.json.unreadable-*"}, QDir::Files); }
};

TEST_F(VaultListFile, SavesAndLoadsTheList) {
    VaultList list(folder());
    const auto first = list.load();
    EXPECT_TRUE(first.vaults.isEmpty());
    EXPECT_TRUE(first.problem.isEmpty());
    EXPECT_TRUE(QFileInfo(folder()).isDir());
    EXPECT_EQ(QFile::permissions(folder()) & 0x0077, 0) << "the folder is the owner's alone";

    const QList<Vault> vaults{sampleVault(1), sampleVault(2), sampleVault(3)};
    EXPECT_FALSE(list.save(vaults));
    EXPECT_EQ(QFile::permissions(file()) & 0x0077, 0) << "the list is the owner's alone";

    const auto again = VaultList(folder()).load();
    EXPECT_TRUE(again.problem.isEmpty());
    EXPECT_EQ(again.vaults, vaults);

    // A legacy record is rewritten in the current form on the next save.
    writeFile(file(), listOf({with(minimalRecord(), "maxSizeGB", 2)}));
    VaultList legacy(folder());
    const auto loaded = legacy.load();
    ASSERT_EQ(loaded.vaults.size(), 1);
    EXPECT_FALSE(legacy.save(loaded.vaults));
    const QByteArray written = readFile(file());
    EXPECT_TRUE(written.contains("\"maxSizeMB\": 2048"));
    EXPECT_FALSE(written.contains("maxSizeGB"));

    // A folder removed while the application runs comes back, again for the owner only.
    ASSERT_TRUE(QDir(folder()).removeRecursively());
    EXPECT_FALSE(legacy.save(vaults));
    EXPECT_EQ(QFile::permissions(folder()) & 0x0077, 0);
    EXPECT_EQ(VaultList(folder()).load().vaults, vaults);
}

TEST_F(VaultListFile, UnreadableListIsSetAsideNotOverwritten) {
    QDir().mkpath(folder());
    const QByteArray original = listOf({minimalRecord(), with(minimalRecord(), "kind", "folder")});
    writeFile(file(), original);

    VaultList list(folder());
    const auto loaded = list.load();
    EXPECT_TRUE(loaded.vaults.isEmpty());
    EXPECT_FALSE(loaded.problem.isEmpty());
    const QStringList aside = asideFiles();
    ASSERT_EQ(aside.size(), 1);
    EXPECT_TRUE(loaded.problem.contains(aside.first())) << loaded.problem.toStdString();
    EXPECT_TRUE(QRegularExpression("^vaults\\.json\\.unreadable-\\d{8}T\\d{6}Z$").match(aside.first()).hasMatch())
        << aside.first().toStdString();
    EXPECT_FALSE(QFile::exists(file()));

    // The store carries on with an empty list; saving does not touch the set-aside copy.
    EXPECT_FALSE(list.save({sampleVault(1)}));
    EXPECT_EQ(readFile(folder() + "/" + aside.first()), original);
    EXPECT_EQ(VaultList(folder()).load().vaults.size(), 1);

    // A second bad file in the same second gets a name of its own.
    writeFile(file(), "not json");
    VaultList(folder()).load();
    writeFile(file(), "not json either");
    VaultList(folder()).load();
    EXPECT_EQ(asideFiles().size(), 3);
}

TEST_F(VaultListFile, ListThatCannotBeSetAsideIsNeverSavedOver) {
    QDir().mkpath(folder());
    writeFile(file(), "[{\"id\": 12}]");
    ImmutableFolder frozen(folder());
    if (!frozen.active())
        GTEST_SKIP() << "file system does not support the immutable flag";

    VaultList list(folder());
    const auto loaded = list.load();
    EXPECT_TRUE(loaded.vaults.isEmpty());
    EXPECT_TRUE(loaded.problem.contains("not saved")) << loaded.problem.toStdString();

    // Even once the folder would take a write again, this run never replaces the file.
    frozen.release();
    const auto refused = list.save({sampleVault(1)});
    ASSERT_TRUE(refused);
    EXPECT_EQ(readFile(file()), QByteArray("[{\"id\": 12}]"));
}

TEST_F(VaultListFile, FailedSaveIsReportedAndKeepsTheOldFile) {
    VaultList list(folder());
    list.load();
    ASSERT_FALSE(list.save({sampleVault(1)}));
    const QByteArray before = readFile(file());

    ImmutableFolder frozen(folder());
    if (frozen.active()) {
        const auto failure = list.save({sampleVault(1), sampleVault(2)});
        ASSERT_TRUE(failure);
        EXPECT_TRUE(failure->startsWith("The list of vaults could not be saved")) << failure->toStdString();
        frozen.release();
        EXPECT_EQ(readFile(file()), before);
        EXPECT_EQ(QDir(folder()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no temporary file left";
    }

    // A folder that cannot exist: its parent is a regular file.
    writeFile(root.filePath("plain-file"), "x");
    VaultList impossible(root.filePath("plain-file/Larkhold"));
    EXPECT_TRUE(impossible.load().problem.isEmpty());
    EXPECT_TRUE(impossible.save({sampleVault(1)}));
}

TEST_F(VaultListFile, AdoptsThePredecessorFolderOnlyWhenOursIsMissing) {
    const QString predecessor = root.filePath("TarnFolder");
    QDir().mkpath(predecessor);
    const QList<Vault> old{sampleVault(4)};
    writeFile(predecessor + "/vaults.json", VaultList::encode(old));
    writeFile(predecessor + "/other", "kept");

    const auto adopted = VaultList(folder()).load();
    EXPECT_EQ(adopted.vaults, old);
    EXPECT_FALSE(QFileInfo::exists(predecessor));
    EXPECT_EQ(readFile(folder() + "/other"), QByteArray("kept"));

    // With both folders present the predecessor's is left alone.
    QDir().mkpath(predecessor);
    writeFile(predecessor + "/vaults.json", VaultList::encode({sampleVault(5)}));
    const auto ours = VaultList(folder()).load();
    EXPECT_EQ(ours.vaults, old);
    EXPECT_TRUE(QFileInfo::exists(predecessor + "/vaults.json"));
}

TEST(ActivityLogTest, KeepsTheFiftyNewestNewestFirst) {
    QTemporaryDir dir;
    Defaults defaults(dir.filePath("prefs.ini"));
    QList<ActivityEvent> events;
    for (int i = 1; i <= 51; ++i)
        ActivityLog::append(defaults, events,
                            ActivityEvent::make(QString("Vault %1 unlocked · password").arg(i),
                                                Date::fromReferenceSeconds(1000 + i + 0.1)));
    ASSERT_EQ(events.size(), 50);
    EXPECT_EQ(events.first().text, "Vault 51 unlocked · password");
    EXPECT_EQ(events.last().text, "Vault 2 unlocked · password");

    // What is stored reads back the same, also from a fresh settings object.
    EXPECT_EQ(ActivityLog::load(Defaults(dir.filePath("prefs.ini"))), events);
    EXPECT_FALSE(ActivityLog::encode(events).contains('\n'));
}

TEST(ActivityLogTest, UndecodableLogReadsEmpty) {
    EXPECT_TRUE(ActivityLog::decode("").isEmpty());
    EXPECT_TRUE(ActivityLog::decode("{}").isEmpty());
    // One event missing a key spoils the whole stored log.
    EXPECT_TRUE(ActivityLog::decode(
                    QString("[{\"id\":\"%1\",\"date\":1,\"text\":\"a\"},{\"id\":\"%1\",\"date\":2}]").arg(kId).toUtf8())
                    .isEmpty());
    const auto one = ActivityLog::decode(QString("[{\"id\":\"%1\",\"date\":1.5,\"text\":\"a\"}]").arg(kId).toUtf8());
    ASSERT_EQ(one.size(), 1);
    EXPECT_EQ(one.first().date.secondsSinceReference, 1.5);
}
