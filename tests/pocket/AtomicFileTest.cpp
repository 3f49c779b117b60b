#include "AtomicFile.h"

#include "FastKdf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace larkhold;

namespace {

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(seed + i * 7);
    return v;
}

struct FaultPlanScope {
    explicit FaultPlanScope(WriteFaultPlan plan) : plan_(plan) { larkholdTestWriteFault = &plan_; }
    ~FaultPlanScope() { larkholdTestWriteFault = nullptr; }
    WriteFaultPlan plan_;
};

class AtomicFileTest : public ::testing::Test {
protected:
    QString pathOf(const QString& name) const { return dir.filePath(name); }
    // Everything in the folder, hidden files included: a failed write leaves no temporary behind.
    QStringList entries() const {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }
    QTemporaryDir dir;
};

TEST_F(AtomicFileTest, WritesNewFileOwnerOnly) {
    const QString path = pathOf(QStringLiteral("new.bin"));
    const auto bytes = pattern(300'000, 1);
    writeFileAtomically(path, bytes, WriteMode::createNew);
    EXPECT_EQ(readWholeFile(path), bytes);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(entries(), QStringList{QStringLiteral("new.bin")});
}

TEST_F(AtomicFileTest, ReplacesOrRefusesAnExistingFile) {
    const QString path = pathOf(QStringLiteral("f.bin"));
    writeFileAtomically(path, pattern(10, 1));
    writeFileAtomically(path, pattern(20, 2), WriteMode::replace);
    EXPECT_EQ(readWholeFile(path), pattern(20, 2));

    try {
        writeFileAtomically(path, pattern(30, 3), WriteMode::createNew);
        FAIL() << "replaced an existing file";
    } catch (const FileWriteError& e) {
        EXPECT_NE(std::string(e.what()).find("already exists"), std::string::npos) << e.what();
    }
    EXPECT_EQ(readWholeFile(path), pattern(20, 2));
    EXPECT_EQ(entries(), QStringList{QStringLiteral("f.bin")});

    // A folder in the way is not replaced either.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("d")));
    EXPECT_THROW(writeFileAtomically(pathOf(QStringLiteral("d")), pattern(5, 5), WriteMode::createNew), FileWriteError);
}

TEST_F(AtomicFileTest, FailingDeviceLeavesTheOldFileAndNoTemporary) {
    const QString path = pathOf(QStringLiteral("vault"));
    const auto old = pattern(100'000, 9);
    writeFileAtomically(path, old);

    for (std::int64_t failAfter : {0ll, 1ll, 65'536ll, 99'999ll}) {
        FaultPlanScope fault({failAfter, ENOSPC, false});
        try {
            writeFileAtomically(path, pattern(100'000, 10));
            ADD_FAILURE() << "write reported success";
        } catch (const FileWriteError& e) {
            EXPECT_NE(std::string(e.what()).find(std::strerror(ENOSPC)), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("“vault”"), std::string::npos) << e.what();
        }
        EXPECT_EQ(readWholeFile(path), old);
        EXPECT_EQ(entries(), QStringList{QStringLiteral("vault")});
    }
    {
        FaultPlanScope fault({-1, 0, true});
        EXPECT_THROW(writeFileAtomically(path, pattern(100'000, 11)), FileWriteError);
        EXPECT_EQ(readWholeFile(path), old);
        EXPECT_EQ(entries(), QStringList{QStringLiteral("vault")});
    }
    // A plan that allows every byte changes nothing.
    FaultPlanScope fault({100'000, ENOSPC, false});
    writeFileAtomically(path, pattern(100'000, 12));
    EXPECT_EQ(readWholeFile(path), pattern(100'000, 12));
}

// Ranges of another file go in byte for byte, copied by the kernel or (under a fault plan, which
// counts every byte) through memory; a range the file does not hold fails the write.
TEST_F(AtomicFileTest, PiecesFromMemoryAndFromAnotherFile) {
    const QString sourcePath = pathOf(QStringLiteral("source"));
    const auto source = pattern(3'000'000, 4);
    writeFileAtomically(sourcePath, source);
    const FileReader reader(sourcePath);
    const auto head = pattern(100, 5);
    const fileio::Piece pieces[] = {{head}, {{}, reader.fd(), 1'000'001, 1'500'000}, {head}};
    std::vector<std::uint8_t> expected = head;
    expected.insert(expected.end(), source.begin() + 1'000'001, source.begin() + 2'500'001);
    expected.insert(expected.end(), head.begin(), head.end());

    const QString path = pathOf(QStringLiteral("made"));
    writeFileAtomically(path, pieces, WriteMode::createNew);
    EXPECT_EQ(readWholeFile(path), expected);
    {
        FaultPlanScope fault({-1, ENOSPC, false});
        writeFileAtomically(path, pieces, WriteMode::replace);
        EXPECT_EQ(readWholeFile(path), expected);
    }
    {
        FaultPlanScope fault({1'200'000, ENOSPC, false});
        EXPECT_THROW(writeFileAtomically(path, pieces, WriteMode::replace), FileWriteError);
    }
    const fileio::Piece beyond[] = {{head}, {{}, reader.fd(), 2'000'000, 1'000'001}};
    try {
        writeFileAtomically(path, beyond, WriteMode::replace);
        FAIL() << "wrote a range the file does not hold";
    } catch (const FileWriteError& e) {
        EXPECT_NE(std::string(e.what()).find(std::strerror(EIO)), std::string::npos) << e.what();
    }
    EXPECT_EQ(readWholeFile(path), expected);
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("made"), QStringLiteral("source")}));
}

TEST_F(AtomicFileTest, ReportsMissingFoldersAndUnreadableFiles) {
    EXPECT_THROW(writeFileAtomically(pathOf(QStringLiteral("no/such/folder/f")), pattern(3, 1)), FileWriteError);
    EXPECT_THROW(readWholeFile(pathOf(QStringLiteral("missing"))), FileReadError);
    EXPECT_THROW(readWholeFile(dir.path()), FileReadError);
    writeFileAtomically(pathOf(QStringLiteral("empty")), {});
    EXPECT_TRUE(readWholeFile(pathOf(QStringLiteral("empty"))).empty());
    // A FIFO with no writer is refused at once instead of blocking the reader forever.
    const QString fifo = pathOf(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_THROW(readWholeFile(fifo), FileReadError);
}

TEST_F(AtomicFileTest, SavesFilesWhoseNamesUseTheWholeNameLimit) {
    const QString path = pathOf(QString(243, QLatin1Char('n')) + QStringLiteral(".pocketvault")); // 255 bytes
    writeFileAtomically(path, pattern(10, 1), WriteMode::createNew);
    writeFileAtomically(path, pattern(20, 2));
    EXPECT_EQ(readWholeFile(path), pattern(20, 2));
    EXPECT_EQ(entries(), QStringList{QFileInfo(path).fileName()});
}

} // namespace
