#include "PocketSelfTest.h"

#include "Argon2id.h"
#include "AtomicFile.h"
#include "Blake2b.h"
#include "DecoyChecklist.h"
#include "PasswordStrength.h"
#include "PocketFile.h"
#include "PocketFormat.h"
#include "PocketImport.h"
#include "PocketItem.h"
#include "PocketPayload.h"
#include "PocketStorage.h"
#include "PocketVaultError.h"
#include "SyncAttributes.h"
#include "UuidText.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QStandardPaths>
#include <QUuid>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <sys/xattr.h>
#include <system_error>

namespace larkhold {

namespace {

using Failure = PocketSelfTest::Failure;

[[noreturn]] void fail(const QString& what) {
    throw Failure(QStringLiteral("POCKET: ") + what);
}

void check(bool holds, const QString& what) {
    if (!holds)
        fail(what);
}

// Runs `operation`, which must throw the PocketVaultError case `expected`. Any other error ends
// the run as it is; success is the check's failure, reported with `fullText`.
void expectVaultError(PocketVaultError::Case expected, const QString& fullText,
                      const std::function<void()>& operation) {
    try {
        operation();
    } catch (const PocketVaultError& e) {
        if (e.which() != expected)
            throw;
        return;
    }
    throw Failure(fullText);
}

std::int64_t fileSize(const QString& path) {
    const QFileInfo info(path);
    return info.exists() ? info.size() : -1;
}

bool isExcludedFromBackup(const QString& path) {
    char value[16] = {};
    const ssize_t n = ::getxattr(QFile::encodeName(path).constData(), SyncAttributes::kNoBackup, value, sizeof value);
    return n == 5 && std::memcmp(value, "false", 5) == 0;
}

// An empty run of bytes is found nowhere: it would otherwise count as plaintext in every file.
bool contains(ByteView haystack, ByteView needle) {
    if (needle.empty())
        return false;
    return std::search(haystack.begin(), haystack.end(),
                       std::boyer_moore_horspool_searcher(needle.begin(), needle.end())) != haystack.end();
}

// --- A photo's EXIF, as far as the checks need it ------------------------------------------

constexpr char kTestComment[] = "Larkhold self-test comment";

struct ExifFindings {
    bool exifSegment = false;
    bool gps = false;
    bool userComment = false;
};

class TiffReader {
public:
    explicit TiffReader(ByteView tiff) : tiff_(tiff) {}

    bool valid() const {
        return tiff_.size() >= 8 && ((tiff_[0] == 'I' && tiff_[1] == 'I') || (tiff_[0] == 'M' && tiff_[1] == 'M')) &&
               u16(2) == 42;
    }
    std::uint32_t firstIfd() const { return u32(4); }

    // Calls visit(tag, valueOffsetField) for every entry of the IFD at `offset`, bounds-checked.
    void forEachEntry(std::uint32_t offset, const std::function<void(std::uint16_t, std::uint32_t)>& visit) const {
        if (std::size_t(offset) + 2 > tiff_.size())
            return;
        const std::uint16_t count = u16(offset);
        for (std::uint16_t i = 0; i < count; ++i) {
            const std::size_t entry = std::size_t(offset) + 2 + std::size_t(i) * 12;
            if (entry + 12 > tiff_.size())
                return;
            visit(u16(entry), u32(entry + 8));
        }
    }

private:
    bool little() const { return tiff_[0] == 'I'; }
    std::uint16_t u16(std::size_t at) const {
        if (at + 2 > tiff_.size())
            return 0;
        return little() ? std::uint16_t(tiff_[at] | tiff_[at + 1] << 8) : std::uint16_t(tiff_[at] << 8 | tiff_[at + 1]);
    }
    std::uint32_t u32(std::size_t at) const {
        if (at + 4 > tiff_.size())
            return 0;
        return little() ? std::uint32_t(u16(at)) | std::uint32_t(u16(at + 2)) << 16
                        : std::uint32_t(u16(at)) << 16 | std::uint32_t(u16(at + 2));
    }

    ByteView tiff_;
};

constexpr std::uint16_t kExifIfdTag = 0x8769;
constexpr std::uint16_t kGpsIfdTag = 0x8825;
constexpr std::uint16_t kUserCommentTag = 0x9286;

// Walks the JPEG's segments up to the image data and reads every EXIF segment found there.
ExifFindings readExif(ByteView jpeg) {
    ExifFindings found;
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return found;
    std::size_t pos = 2;
    while (pos + 4 <= jpeg.size()) {
        if (jpeg[pos] != 0xFF)
            break;
        const std::uint8_t marker = jpeg[pos + 1];
        if (marker == 0xFF) {
            ++pos;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA)
            break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        const std::size_t length = std::size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
        if (length < 2 || pos + 2 + length > jpeg.size())
            break;
        const ByteView payload = jpeg.subspan(pos + 4, length - 2);
        if (marker == 0xE1 && payload.size() >= 6 && std::memcmp(payload.data(), "Exif\0\0", 6) == 0) {
            found.exifSegment = true;
            const TiffReader tiff(payload.subspan(6));
            if (tiff.valid()) {
                tiff.forEachEntry(tiff.firstIfd(), [&](std::uint16_t tag, std::uint32_t value) {
                    if (tag == kGpsIfdTag)
                        found.gps = true;
                    if (tag == kExifIfdTag) {
                        tiff.forEachEntry(value, [&](std::uint16_t inner, std::uint32_t) {
                            found.userComment = found.userComment || inner == kUserCommentTag;
                        });
                    }
                });
            }
        }
        pos += 2 + length;
    }
    return found;
}

// Little-endian TIFF writer for the test photo's EXIF block.
class TiffBuilder {
public:
    void u16(std::uint16_t v) { bytes_.insert(bytes_.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }
    void u32(std::uint32_t v) {
        u16(std::uint16_t(v));
        u16(std::uint16_t(v >> 16));
    }
    void entry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t valueOrOffset) {
        u16(tag);
        u16(type);
        u32(count);
        u32(valueOrOffset);
    }
    void raw(ByteView b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); }
    std::uint32_t size() const { return std::uint32_t(bytes_.size()); }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

// EXIF with IFD0 pointing to an EXIF IFD (a user comment) and a GPS IFD (a position).
std::vector<std::uint8_t> testPhotoExif() {
    constexpr std::uint16_t kByte = 1, kAscii = 2, kLong = 4, kRational = 5, kUndefined = 7;
    constexpr std::uint32_t kIfd0 = 8;
    constexpr std::uint32_t kExifIfd = kIfd0 + 2 + 2 * 12 + 4;    // 38
    constexpr std::uint32_t kGpsIfd = kExifIfd + 2 + 1 * 12 + 4;  // 56
    constexpr std::uint32_t kLatitude = kGpsIfd + 2 + 5 * 12 + 4; // 122
    constexpr std::uint32_t kLongitude = kLatitude + 24;
    constexpr std::uint32_t kComment = kLongitude + 24;
    const std::string comment = std::string("ASCII\0\0\0", 8) + kTestComment;

    TiffBuilder t;
    t.raw(asBytes("II"));
    t.u16(42);
    t.u32(kIfd0);

    t.u16(2);
    t.entry(kExifIfdTag, kLong, 1, kExifIfd);
    t.entry(kGpsIfdTag, kLong, 1, kGpsIfd);
    t.u32(0);

    t.u16(1);
    t.entry(kUserCommentTag, kUndefined, std::uint32_t(comment.size()), kComment);
    t.u32(0);

    // 47° 22' 36" N, 8° 32' 24" E.
    t.u16(5);
    t.entry(0, kByte, 4, 0x00000202); // GPS version 2.2.0.0
    t.entry(1, kAscii, 2, 'N');
    t.entry(2, kRational, 3, kLatitude);
    t.entry(3, kAscii, 2, 'E');
    t.entry(4, kRational, 3, kLongitude);
    t.u32(0);

    for (const std::uint32_t v : {47u, 1u, 22u, 1u, 36u, 1u})
        t.u32(v);
    for (const std::uint32_t v : {8u, 1u, 32u, 1u, 24u, 1u})
        t.u32(v);
    t.raw(asBytes(comment));
    return t.bytes();
}

// --- Fixed data ------------------------------------------------------------------------------

const QString kMainPassword = QStringLiteral("home-code");
const QString kSecondPassword = QStringLiteral("backup-code");
const QString kChangedSecondPassword = QStringLiteral("backup-code-2");
const QString kWrongPassword = QStringLiteral("false-code");
constexpr std::int64_t kTierFileSize = 2'097'392;

bool keepsUserAttributes(const QString& folder) {
    const QString probe = folder + QStringLiteral("/.larkhold-attribute-probe-") + uuidString(QUuid::createUuid());
    QFile file(probe);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    file.close();
    const bool kept = ::setxattr(QFile::encodeName(probe).constData(), "user.larkhold.probe", "1", 1, 0) == 0;
    QFile::remove(probe);
    return kept;
}

// The vault's marks for backup and sync tools are part of what is checked, so the throwaway folder
// goes where the file system keeps them: the temporary folder (often a tmpfs that does not), else
// the user's cache.
QString tempFolder() {
    QString base = QDir::tempPath();
    if (!keepsUserAttributes(base)) {
        base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/larkhold");
        QDir().mkpath(base);
    }
    return base + QStringLiteral("/larkhold-pocket-selftest-") + uuidString(QUuid::createUuid());
}

// Removes the working folder on every way out of the run.
class WorkingFolder {
public:
    explicit WorkingFolder(const QString& path) : path_(path) {
        std::error_code error;
        std::filesystem::create_directories(QFile::encodeName(path).toStdString(), error);
        if (error) {
            throw std::runtime_error(QStringLiteral("Couldn’t create the folder “%1”: %2")
                                         .arg(path, QString::fromLocal8Bit(error.message().c_str()))
                                         .toStdString());
        }
    }
    ~WorkingFolder() { QDir(path_).removeRecursively(); }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

    QString file(const QString& name) const { return path_ + QLatin1Char('/') + name; }

private:
    QString path_;
};

void checkKnownAnswers() {
    check(PocketSelfTest::hex(Blake2b::hash(asBytes("abc"), 64)) ==
              QLatin1String("ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
                            "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923"),
          QStringLiteral("BLAKE2b test vector"));

    const std::vector<std::uint8_t> password(32, 0x01), salt(16, 0x02), secret(8, 0x03), ad(12, 0x04);
    const SecureBytes tag = Argon2id::hash(password, salt, secret, ad, 3, 32, 4, 32);
    check(PocketSelfTest::hex({tag.begin(), tag.end()}) ==
              QLatin1String("0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659"),
          QStringLiteral("Argon2id test vector"));
}

void checkOutsiderView(const QString& vault, const PocketItems& items) {
    const std::vector<std::uint8_t> bytes = readWholeFile(vault);
    for (const PocketItem& item : items) {
        if (contains(bytes, item.data))
            fail(QStringLiteral("plaintext of “") + item.name + QStringLiteral("” found in the file"));
    }

    std::array<std::int64_t, 256> counts{};
    for (const std::uint8_t b : bytes)
        ++counts[b];
    const double expected = double(bytes.size()) / 256.0;
    double chiSquared = 0;
    for (const std::int64_t count : counts)
        chiSquared += (double(count) - expected) * (double(count) - expected) / expected;
    check(chiSquared < 400.0, QStringLiteral("file bytes are not uniformly random (χ² = %1)")
                                  .arg(static_cast<long long>(std::trunc(chiSquared))));
}

void checkPhotoMetadata(const WorkingFolder& folder) {
    const QString photo = folder.file(QStringLiteral("photo.jpg"));
    PocketSelfTest::writeTestPhoto(photo);
    const PocketItem item = PocketImport::item(photo, false);
    check(item.kind == PocketItem::Kind::image, QStringLiteral("photo imported as an image"));
    const ExifFindings exif = readExif(item.data);
    check(!exif.gps, QStringLiteral("GPS metadata survived import"));
    check(!exif.exifSegment && !exif.userComment && !contains(item.data, asBytes(kTestComment)),
          QStringLiteral("EXIF metadata survived import"));
}

void checkSyncFolders(const PocketSelfTest::SyncServiceLookup& syncServiceFor) {
    const QString home = QDir::homePath();
    const QString cloud = home + QStringLiteral("/Library/CloudStorage");
    struct Case {
        QString path;
        std::optional<QString> expected;
        QString failure;
    };
    const Case cases[] = {
        {cloud + QStringLiteral("/Dropbox/Private.pocketvault"), QStringLiteral("Dropbox"),
         QStringLiteral("Dropbox folder not detected")},
        {cloud + QStringLiteral("/GoogleDrive-someone@example.com/My Drive/v.nosync"), QStringLiteral("Google Drive"),
         QStringLiteral("Google Drive folder not detected")},
        {home + QStringLiteral("/OneDrive/v.pocketvault"), QStringLiteral("OneDrive"),
         QStringLiteral("legacy OneDrive folder not detected")},
        {home + QStringLiteral("/Documents/Dropbox notes/v.pocketvault"), std::nullopt,
         QStringLiteral("ordinary folder flagged as synced")},
    };
    for (const Case& c : cases)
        check(syncServiceFor(c.path) == c.expected, c.failure);
}

void checkPasswordStrength() {
    using Level = PasswordStrength::Level;
    check(PasswordStrength(QStringLiteral("lmnopq")).level == Level::weak, QStringLiteral("short sequence not weak"));
    check(PasswordStrength(QStringLiteral("tiger123456")).level == Level::weak,
          QStringLiteral("common password not weak"));
    check(PasswordStrength(QStringLiteral("zzzzzzzzzzzzzzzz")).level == Level::weak,
          QStringLiteral("repeated character not weak"));
    check(PasswordStrength(QStringLiteral("harbor pencil window cloud")).level == Level::strong,
          QStringLiteral("passphrase not strong"));
    const PasswordStrength random(QStringLiteral("Vb4$kP8@wQ2^nJ"));
    check(random.level == Level::strong, QStringLiteral("long random password not strong"));
    check(!random.tip.has_value(), QStringLiteral("strong password still gets a tip"));
    check(PasswordStrength(QStringLiteral("Autumn2024?")).level == Level::fair,
          QStringLiteral("word plus year rated above fair"));
}

void checkDecoyChecklist(const PocketItems& mainList, const PocketItems& secondList) {
    const QString filler = QString(24, QLatin1Char('a')) + QStringLiteral(" aaaa aaa");
    check(!DecoyChecklist::looksLikeRealText(filler), QStringLiteral("filler text accepted"));
    check(!DecoyChecklist::looksLikeRealText(QStringLiteral("test test test test test test test test")),
          QStringLiteral("repeated words accepted"));
    check(DecoyChecklist::looksLikeRealText(QStringLiteral("Dentist appointment moved to Thursday at ten.")),
          QStringLiteral("real sentence rejected"));

    PocketItems decoy{mainList.front()};
    decoy.insert(decoy.end(), secondList.begin(), secondList.end());
    const std::vector<DecoyChecklist::Check> rows = DecoyChecklist::checks(decoy, mainList);
    const auto unique = std::find_if(rows.begin(), rows.end(), [](const auto& r) { return r.id == "unique"; });
    check(unique != rows.end() && !unique->passed, QStringLiteral("copied item not flagged"));
}

} // namespace

QString PocketSelfTest::hex(const std::vector<std::uint8_t>& bytes) {
    return QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())).toHex());
}

void PocketSelfTest::writeTestPhoto(const QString& path) {
    QImage image(64, 48, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        throw Failure(QStringLiteral("POCKET: could not draw test photo"));
    image.fill(QColor::fromRgbF(0.2f, 0.5f, 0.8f, 1.0f));

    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        QImageWriter writer(&buffer, "jpeg");
        if (!buffer.open(QIODevice::WriteOnly) || !writer.canWrite() || !writer.write(image))
            throw Failure(QStringLiteral("POCKET: could not encode test photo"));
    }
    if (jpeg.size() < 2 || static_cast<std::uint8_t>(jpeg[0]) != 0xFF || static_cast<std::uint8_t>(jpeg[1]) != 0xD8)
        throw Failure(QStringLiteral("POCKET: could not encode test photo"));

    // The EXIF segment goes right after the start-of-image marker, where cameras put it.
    const std::vector<std::uint8_t> tiff = testPhotoExif();
    const std::size_t segmentLength = 2 + 6 + tiff.size();
    std::vector<std::uint8_t> file{
        0xFF, 0xD8, 0xFF, 0xE1, std::uint8_t(segmentLength >> 8), std::uint8_t(segmentLength)};
    const ByteView exifHeader = asBytes(std::string_view("Exif\0\0", 6));
    file.insert(file.end(), exifHeader.begin(), exifHeader.end());
    file.insert(file.end(), tiff.begin(), tiff.end());
    file.insert(file.end(), jpeg.begin() + 2, jpeg.end());
    try {
        writeFileAtomically(path, file);
    } catch (const FileWriteError&) {
        throw Failure(QStringLiteral("POCKET: test photo not written"));
    }

    QFile written(path);
    if (!written.open(QIODevice::ReadOnly))
        throw Failure(QStringLiteral("POCKET: test photo is missing its GPS metadata"));
    const QByteArray back = written.readAll();
    const ByteView backBytes(reinterpret_cast<const std::uint8_t*>(back.constData()), std::size_t(back.size()));
    if (!readExif(backBytes).gps)
        throw Failure(QStringLiteral("POCKET: test photo is missing its GPS metadata"));
}

void PocketSelfTest::run(const SyncServiceLookup& syncServiceFor, const KdfCost& expectedCost) {
    checkKnownAnswers();

    const WorkingFolder folder(tempFolder());
    const QString vault = folder.file(QStringLiteral("Test.pocketvault"));
    const Date now = Date::now();
    const auto note = [now](const char* name, const char* text) {
        return PocketItem::note(QString::fromUtf8(name), QString::fromUtf8(text), now);
    };

    // Creating and re-opening.
    const PocketItems mainList{
        note("Bank", "Account notes for the savings account, opened in March."),
        note("Recovery", "Recovery words are written on the card in the blue folder."),
    };
    const PocketItems secondList{
        note("Wifi", "Home network password is on the router sticker downstairs."),
        note("Gym", "Locker combination changed after the summer, check the app."),
        note("Books", "Finish the library book before the end of the month please."),
    };

    PocketStorage::Opened created = PocketStorage::create(vault, 1, kMainPassword, true);
    const std::shared_ptr<PocketStorage> mainStorage = created.storage;
    check(created.items.empty(), QStringLiteral("new vault is empty"));
    check(fileSize(vault) == kTierFileSize, QStringLiteral("file has the fixed tier size"));
    check(PocketFormat::isPocketVaultFile(vault), QStringLiteral("file is recognized as a Pocket Vault"));
    check(!PocketFormat::capacity(kTierFileSize + 1).has_value(), QStringLiteral("odd sizes are rejected"));
    check(isExcludedFromBackup(vault), QStringLiteral("file is excluded from Time Machine"));
    // Read back from the file: a vault sealed at any other cost than the one expected (a cheaper one
    // slipped into the program) is caught here.
    check(PocketFile(readWholeFile(vault), 1'048'576).opensAtCost(kMainPassword, expectedCost),
          QStringLiteral("vault not sealed at the full key-derivation cost"));

    mainStorage->save(mainList, 1);
    mainStorage->save({}, 0);
    check(PocketStorage::open(vault, kMainPassword, true).items == mainList, QStringLiteral("main items round-trip"));

    // Passwords and the second slot.
    expectVaultError(PocketVaultError::Case::badPassword, QStringLiteral("POCKET: wrong password was accepted"),
                     [&] { PocketStorage::open(vault, kWrongPassword, true); });
    expectVaultError(PocketVaultError::Case::sameAsCurrentPassword,
                     QStringLiteral("POCKET: second password equal to the main one was accepted"),
                     [&] { mainStorage->setUpSecondPassword(kMainPassword, secondList); });
    mainStorage->setUpSecondPassword(kSecondPassword, secondList);
    check(fileSize(vault) == kTierFileSize, QStringLiteral("file size unchanged by the second password"));
    check(PocketStorage::open(vault, kSecondPassword, true).items == secondList,
          QStringLiteral("second password opens its own items"));
    check(PocketStorage::open(vault, kMainPassword, true).items == mainList,
          QStringLiteral("main items intact after second password setup"));

    // Saving through both slots.
    PocketItems mainList2 = mainList;
    mainList2.push_back(note("Extra", "Added after the second password."));
    mainStorage->save(mainList2, 2);
    const std::shared_ptr<PocketStorage> secondStorage = PocketStorage::open(vault, kSecondPassword, true).storage;
    PocketItems secondList2 = secondList;
    secondList2.push_back(note("Plants", "Water the plants on Tuesday and Friday mornings."));
    secondStorage->save(secondList2, 1);
    check(PocketStorage::open(vault, kMainPassword, true).items == mainList2,
          QStringLiteral("main items survive a save through the second password"));
    check(PocketStorage::open(vault, kSecondPassword, true).items == secondList2,
          QStringLiteral("second items survive a save through the main password"));

    // Changing the second password.
    PocketStorage::changePassword(vault, kSecondPassword, kChangedSecondPassword, true);
    expectVaultError(PocketVaultError::Case::badPassword, QStringLiteral("POCKET: old second password still accepted"),
                     [&] { PocketStorage::open(vault, kSecondPassword, true); });
    check(PocketStorage::open(vault, kChangedSecondPassword, true).items == secondList2,
          QStringLiteral("changed second password opens its items"));
    {
        std::vector<std::uint8_t> bytes = readWholeFile(vault);
        const std::optional<std::int64_t> capacity = PocketFormat::capacity(std::int64_t(bytes.size()));
        if (!capacity)
            throw PocketVaultError::notAPocketVault();
        const PocketFile file(std::move(bytes), *capacity);
        const PocketKey key = file.unlock(kMainPassword);
        (void)PocketPayload::decode(file.readArea(key));
    }

    // Overflow: a note of exactly the area's size leaves no room for the payload's header.
    PocketItem big = PocketItem::note(QStringLiteral("big"), {}, now);
    big.data.assign(1'048'576, 0);
    // Opened again: the main storage never writes over the saves made through the other slot since.
    const std::shared_ptr<PocketStorage> current = PocketStorage::open(vault, kMainPassword, true).storage;
    expectVaultError(PocketVaultError::Case::full, QStringLiteral("POCKET: an oversized payload was accepted"),
                     [&] { current->save({big}, 3); });

    // The file as an outsider sees it.
    PocketItems everything = mainList2;
    everything.insert(everything.end(), secondList2.begin(), secondList2.end());
    checkOutsiderView(vault, everything);

    checkPhotoMetadata(folder);
    checkSyncFolders(syncServiceFor);
    checkPasswordStrength();

    // Content decides the type.
    const QString misnamed = folder.file(QStringLiteral("notes.pdf"));
    writeFileAtomically(misnamed, asBytes("Groceries: milk, eggs and bread for the weekend."));
    check(PocketImport::item(misnamed, true).kind == PocketItem::Kind::note,
          QStringLiteral("type is decided by content, not extension"));

    checkDecoyChecklist(mainList, secondList);
}

} // namespace larkhold
