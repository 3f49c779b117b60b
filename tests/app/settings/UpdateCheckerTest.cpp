#include "UpdateChecker.h"

#include "Clock.h"
#include "Defaults.h"
#include "LoopbackServer.h"
#include "QtPrinters.h"
#include "SettingsKeys.h"
#include "StoreFixture.h"
#include "TestFiles.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace larkhold;
using namespace larkhold::test;
using Choice = UpdateChecker::AlertChoice;

TEST(VersionComparison, FollowsTheNumbersPartByPart) {
    struct Case {
        const char* a;
        const char* b;
        bool newer;
    };
    for (const Case c : {
             Case{"1.10", "1.9", true},
             Case{"1.9", "1.10", false},
             Case{"2.0", "2.0.0", false},
             Case{"2.0.0", "2.0", false},
             Case{"2.0.1", "2.0", true},
             Case{"2.0-beta", "2.0", false},
             Case{"3..1", "3.1", false},
             Case{".3.1.", "3.1", false},
             Case{"3.2", "3..1", true},
             Case{"V2.0", "1.0", false},
             Case{"V2.1", "0", true},
             Case{"1", "0", true},
             Case{"0.0.1", "0", true},
             Case{"abc", "0", false},
             Case{"+2", "1", true},
             Case{"-1", "0", false},
             Case{"0", "-1", true},
             Case{"+", "0", false},
             Case{"1 ", "0", false},
             Case{"١", "0", false},
             Case{"2", "", true},
             Case{"99999999999999999999", "1", false},
             Case{"9223372036854775807", "9223372036854775806", true},
             Case{"-9223372036854775808", "-9223372036854775807", false},
         })
        EXPECT_EQ(UpdateChecker::isNewer(QString::fromUtf8(c.a), QString::fromUtf8(c.b)), c.newer)
            << c.a << " vs " << c.b;
}

namespace {

class UpdateCheckerTest : public ::testing::Test {
protected:
    UpdateCheckerTest() : defaults(dir.filePath(QStringLiteral("settings.ini"))) {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        SettingsKeys::registerDefaults(defaults);
        server.answerJson(R"({"version": "2.0", "notes": "Fixes", "download": "https://larkhold.test/download"})");
    }

    UpdateChecker::Config config(const QString& current = QStringLiteral("1.0")) const {
        UpdateChecker::Config c;
        c.documentUrl = server.url();
        c.homePage = QUrl(QStringLiteral("https://larkhold.test"));
        c.currentVersion = current;
        return c;
    }

    // A checker whose alert answers at once with `choice`.
    std::unique_ptr<UpdateChecker> checker(const QString& current = QStringLiteral("1.0"),
                                           std::optional<Choice> choice = Choice::later) {
        return checker(config(current), choice);
    }
    std::unique_ptr<UpdateChecker> checker(UpdateChecker::Config c, std::optional<Choice> choice) {
        auto made = std::make_unique<UpdateChecker>(defaults, clock, std::move(c));
        made->setAlertPresenter(
            [this, choice](const UpdateRelease& release, const QString& current, std::function<void(Choice)> answer) {
                alerts.append(release);
                alertCurrent = current;
                if (choice)
                    answer(*choice);
                else
                    pendingAnswer = std::move(answer);
            });
        made->setUrlOpener([this](const QUrl& url) { opened.append(url); });
        return made;
    }

    QString manual(UpdateChecker& c) { return QCoro::waitFor(c.manualCheck()); }
    void automatic(UpdateChecker& c) { QCoro::waitFor(c.autoCheck()); }
    std::optional<Date> lastCheck() const { return defaults.dateValue(SettingsKeys::lastUpdateCheck); }

    QTemporaryDir dir;
    Defaults defaults;
    FakeClock clock;
    LoopbackServer server;
    QList<UpdateRelease> alerts;
    QString alertCurrent;
    std::function<void(Choice)> pendingAnswer;
    QList<QUrl> opened;
};

} // namespace

TEST_F(UpdateCheckerTest, ANewerVersionIsAnnouncedAndTheLineComesAfterTheAlert) {
    auto c = checker(QStringLiteral("1.0"), std::nullopt);
    std::optional<QString> line;
    auto run = [&]() -> QCoro::Task<> {
        auto checking = c->manualCheck();
        line = co_await checking;
    };
    auto running = run();
    ASSERT_TRUE(waitUntil([&] { return alerts.size() == 1; }, 60000));
    EXPECT_FALSE(line);
    EXPECT_EQ(alerts[0].version, QStringLiteral("2.0"));
    EXPECT_EQ(alerts[0].notes, QStringLiteral("Fixes"));
    EXPECT_EQ(alertCurrent, QStringLiteral("1.0"));
    pendingAnswer(Choice::later);
    ASSERT_TRUE(waitUntil([&] { return line.has_value(); }, 60000));
    EXPECT_EQ(*line, QStringLiteral("Version 2.0 is available."));
    EXPECT_TRUE(opened.isEmpty());

    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].method, "GET");
    EXPECT_EQ(server.requests()[0].path, "/api/version.json");
    EXPECT_EQ(server.requests()[0].accept, "application/json");
    EXPECT_EQ(lastCheck(), clock.now());
}

TEST_F(UpdateCheckerTest, EachAnswerOfTheServerGivesItsLine) {
    struct Case {
        int status;
        QByteArray body;
        QByteArray contentType;
        QString current;
        QString line;
    };
    const QString upToDate = QStringLiteral("You're up to date — 2.0 is the latest version.");
    const QString unexpected = QStringLiteral("Could not check: Unexpected response from the update server.");
    const QList<Case> cases{
        {200, R"({"version": "2.0"})", "application/json", QStringLiteral("2.0"), upToDate},
        {200, R"({"version": "1.9"})", "application/json", QStringLiteral("2.0"), upToDate},
        {200, R"({"version": "v2.0"})", "application/json", QStringLiteral("2.0"), upToDate},
        // A capital V stays, so the first part is no number and counts as 0.
        {200, R"({"version": "V2.0"})", "application/json", QStringLiteral("1.0"),
         QStringLiteral("You're up to date — 1.0 is the latest version.")},
        {200, R"({"version": "2.0.1"})", "application/json", QStringLiteral("2.0"),
         QStringLiteral("Version 2.0.1 is available.")},
        {200, "[1]", "application/json", QStringLiteral("2.0"), unexpected},
        {200, R"({"version": 2.1})", "application/json", QStringLiteral("2.0"), unexpected},
        {200, R"({"notes": "no version"})", "application/json", QStringLiteral("2.0"), unexpected},
        // The status is not looked at: a version document is read whatever it says.
        {503, R"({"version": "2.0"})", "application/json", QStringLiteral("2.0"), upToDate},
    };
    for (const Case& c : cases) {
        server.answer(c.status, c.body, c.contentType);
        auto made = checker(c.current);
        EXPECT_EQ(manual(*made), c.line) << c.body.toStdString();
    }
}

TEST_F(UpdateCheckerTest, APageThatIsNoJsonReportsTheParser) {
    // A bare string is no document either: the top level must be an object or an array.
    for (const QByteArray& body : {QByteArray("<!DOCTYPE html><html><body><h1>Not Found</h1></body></html>"),
                                   QByteArray(R"("2.1")"), QByteArray()}) {
        server.answer(404, body, "text/html");
        auto c = checker();
        const QString line = manual(*c);
        EXPECT_TRUE(line.startsWith(QStringLiteral("Could not check: The update server’s answer is not JSON (")))
            << line.toStdString();
    }
    EXPECT_FALSE(lastCheck());
}

TEST_F(UpdateCheckerTest, AServerThatNeverAnswersTimesOut) {
    server.stayQuiet();
    UpdateChecker::Config c = config();
    // Long enough for the child to send its request before its own timer runs out.
    c.timeout = std::chrono::seconds(2);
    auto made = checker(c, Choice::later);
    EXPECT_EQ(manual(*made), QStringLiteral("Could not check: The request timed out."));
    // The child's end may reach this process before the server has read the request.
    EXPECT_TRUE(waitUntil([&] { return server.requests().size() == 1; }, 60000));
    EXPECT_FALSE(lastCheck());
    EXPECT_EQ(UpdateChecker::Config::forThisBuild().timeout, std::chrono::seconds(15));
}

TEST_F(UpdateCheckerTest, NoServerAtAllIsReported) {
    server.stop();
    auto c = checker();
    const QString line = manual(*c);
    EXPECT_TRUE(line.startsWith(QStringLiteral("Could not check: "))) << line.toStdString();
    EXPECT_GT(line.size(), QStringLiteral("Could not check: ").size());
    EXPECT_FALSE(lastCheck());
}

TEST_F(UpdateCheckerTest, AnOversizedAnswerIsRefused) {
    server.answerJson(QByteArray(R"({"version": "2.0", "notes": ")") +
                      QByteArray(UpdateChecker::kMaximumAnswerBytes + 10, 'x') + "\"}");
    auto c = checker();
    EXPECT_EQ(manual(*c), QStringLiteral("Could not check: The update server’s answer is too large."));
}

TEST_F(UpdateCheckerTest, TheBuildsAddressesAreHttpsOnTheConfiguredHost) {
    const UpdateChecker::Config c = UpdateChecker::Config::forThisBuild();
    EXPECT_EQ(c.documentUrl.scheme(), QStringLiteral("https"));
    EXPECT_EQ(c.documentUrl.path(), QStringLiteral("/api/version.json"));
    EXPECT_EQ(c.homePage.scheme(), QStringLiteral("https"));
    EXPECT_EQ(c.homePage.host(), c.documentUrl.host());
    EXPECT_TRUE(c.homePage.path().isEmpty());
    EXPECT_FALSE(c.currentVersion.isEmpty());
    EXPECT_EQ(c.checkInterval, std::chrono::hours(6));
}

TEST_F(UpdateCheckerTest, OnlyWebAddressesWithAHostAreOpened) {
    auto c = checker();
    const QUrl home(QStringLiteral("https://larkhold.test"));
    const auto opens = [&](const QString& download) { return c->downloadAddress(UpdateRelease{"2.0", {}, download}); };
    EXPECT_EQ(opens(QStringLiteral("https://larkhold.test/get")), QUrl(QStringLiteral("https://larkhold.test/get")));
    EXPECT_EQ(opens(QStringLiteral("http://mirror.example/x.tar.gz")),
              QUrl(QStringLiteral("http://mirror.example/x.tar.gz")));
    for (const char* bad : {"file:///etc/passwd", "larkhold://update", "javascript:alert(1)", "https://", "/download",
                            "not a url at all", "", "smb://server/share", "http:///path", "https://exa mple.com/"})
        EXPECT_EQ(opens(QString::fromUtf8(bad)), home) << bad;
}

TEST_F(UpdateCheckerTest, TheAlertsButtonsDoWhatTheySay) {
    server.answerJson(R"({"version": "2.0", "download": "file:///home/me/evil.desktop"})");
    auto view = checker(QStringLiteral("1.0"), Choice::viewDownload);
    manual(*view);
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0], QUrl(QStringLiteral("https://larkhold.test")));

    server.answerJson(R"({"version": "2.0"})");
    manual(*view);
    ASSERT_EQ(opened.size(), 2);
    EXPECT_EQ(opened[1], QUrl(QStringLiteral("https://larkhold.test")));

    auto skip = checker(QStringLiteral("1.0"), Choice::skipVersion);
    manual(*skip);
    EXPECT_EQ(defaults.stringValue(SettingsKeys::skippedVersion), QStringLiteral("2.0"));
    EXPECT_EQ(opened.size(), 2);
}

TEST_F(UpdateCheckerTest, AutomaticChecksKeepTwentyHoursApart) {
    auto c = checker();
    automatic(*c);
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(alerts.size(), 1);
    EXPECT_EQ(lastCheck(), clock.now());

    clock.advance(20 * 3600 - 1);
    automatic(*c);
    EXPECT_EQ(server.requests().size(), 1);
    clock.advance(1);
    automatic(*c);
    EXPECT_EQ(server.requests().size(), 2);
    // The same version is announced again until it is skipped.
    EXPECT_EQ(alerts.size(), 2);

    // A manual check ignores the spacing.
    manual(*c);
    EXPECT_EQ(server.requests().size(), 3);
}

TEST_F(UpdateCheckerTest, AnUnansweredAlertIsNotJoinedByAnotherAutomaticOne) {
    auto c = checker(QStringLiteral("1.0"), std::nullopt);
    automatic(*c);
    ASSERT_EQ(alerts.size(), 1);
    clock.advance(20 * 3600);
    automatic(*c);
    EXPECT_EQ(server.requests().size(), 2);
    EXPECT_EQ(alerts.size(), 1) << "the first alert still waits for its answer";

    pendingAnswer(Choice::later);
    QCoreApplication::processEvents();
    clock.advance(20 * 3600);
    automatic(*c);
    EXPECT_EQ(alerts.size(), 2);
}

TEST_F(UpdateCheckerTest, ACheckStampedInTheFutureCountsAsStale) {
    defaults.setDate(SettingsKeys::lastUpdateCheck, clock.now().addingSeconds(5 * 24 * 3600));
    auto c = checker();
    automatic(*c);
    EXPECT_EQ(server.requests().size(), 1);
    EXPECT_EQ(lastCheck(), clock.now());
}

TEST_F(UpdateCheckerTest, TheSettingAndASkippedVersionSilenceAutomaticChecksOnly) {
    defaults.setValue(SettingsKeys::updateCheckEnabled, false);
    auto c = checker();
    automatic(*c);
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_EQ(manual(*c), QStringLiteral("Version 2.0 is available."));
    EXPECT_EQ(server.requests().size(), 1);

    defaults.setValue(SettingsKeys::updateCheckEnabled, true);
    defaults.remove(SettingsKeys::lastUpdateCheck);
    defaults.setValue(SettingsKeys::skippedVersion, QStringLiteral("2.0"));
    alerts.clear();
    automatic(*c);
    EXPECT_EQ(server.requests().size(), 2);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_TRUE(lastCheck());
    // Check Now still shows the skipped version.
    EXPECT_EQ(manual(*c), QStringLiteral("Version 2.0 is available."));
    EXPECT_EQ(alerts.size(), 1);

    server.answerJson(R"({"version": "2.1"})");
    defaults.remove(SettingsKeys::lastUpdateCheck);
    automatic(*c);
    ASSERT_EQ(alerts.size(), 2);
    EXPECT_EQ(alerts[1].version, QStringLiteral("2.1"));
}

TEST_F(UpdateCheckerTest, FailedAutomaticChecksStaySilentAndTryAgain) {
    server.answer(404, "<html>gone</html>", "text/html");
    UpdateChecker::Config c = config();
    c.checkInterval = std::chrono::milliseconds(1);
    auto made = checker(c, Choice::later);
    QSignalSpy finished(made.get(), &UpdateChecker::automaticCheckFinished);
    made->startAutomaticChecks();
    made->startAutomaticChecks();
    ASSERT_TRUE(waitUntil([&] { return finished.count() >= 3; }, 60000));
    EXPECT_GE(server.requests().size(), 3);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_FALSE(lastCheck());

    // The first success stores the date.
    server.answerJson(R"({"version": "1.0"})");
    ASSERT_TRUE(waitUntil([&] { return lastCheck().has_value(); }, 60000));
    EXPECT_TRUE(alerts.isEmpty());
}

TEST_F(UpdateCheckerTest, TheFetchProgramBringsTheAnswerBehindAnErrorStatus) {
    const QByteArray body = R"({"version": "3.0"})";
    server.answer(503, body);
    auto transport = UpdateTransport::load();
    const UpdateTransport::Answer answer = QCoro::waitFor(transport->get(server.url(), std::chrono::seconds(60), 1024));
    ASSERT_TRUE(answer.body) << answer.error.toStdString();
    EXPECT_EQ(*answer.body, body);
    EXPECT_TRUE(answer.error.isEmpty());
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].accept, "application/json");
}

namespace {

// The pid of this process's running larkhold-update-fetch, or 0.
pid_t fetchChild() {
    const QList<int> running = larkhold::test::childrenNamed("larkhold-update");
    return running.isEmpty() ? 0 : running.front();
}

// What a /proc/PID/fd entry names ("pipe:[1234]", a path...), as the kernel writes it.
std::string descriptorTarget(const QString& link) {
    char target[4096];
    const ssize_t length = ::readlink(link.toLocal8Bit().constData(), target, sizeof target);
    return length > 0 ? std::string(target, std::size_t(length)) : std::string();
}

} // namespace

TEST_F(UpdateCheckerTest, TheChildHoldsNoneOfOurDescriptorsAndDiesWithItsTransport) {
    server.stayQuiet();
    // A descriptor without close-on-exec, as a careless library might leave one.
    int leaked[2];
    ASSERT_EQ(::pipe(leaked), 0);
    auto transport = UpdateTransport::load();
    bool resumed = false;
    auto run = [&]() -> QCoro::Task<> {
        auto getting = transport->get(server.url(), std::chrono::hours(1), 1024);
        co_await getting;
        resumed = true;
    };
    auto running = run();
    ASSERT_TRUE(waitUntil([&] { return server.requests().size() == 1; }, 60000));
    ASSERT_EQ(server.openConnections(), 1);
    const pid_t child = fetchChild();
    ASSERT_GT(child, 0);
    const std::string ours = descriptorTarget(QStringLiteral("/proc/self/fd/%1").arg(leaked[0]));
    ASSERT_FALSE(ours.empty());
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(child));
    for (const QFileInfo& fd : descriptors.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
        EXPECT_NE(descriptorTarget(fd.filePath()), ours)
            << "the child holds the application's descriptor " << fd.fileName().toStdString();
    ::close(leaked[0]);
    ::close(leaked[1]);

    transport.reset();
    // Only the child's end closes its connection: it would have waited an hour.
    ASSERT_TRUE(waitUntil([&] { return server.openConnections() == 0; }, 60000));
    QCoreApplication::processEvents();
    EXPECT_FALSE(resumed);
}
