#include "PolkitOwnerCheck.h"

#include "PeerEnvironment.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDBusMessage>
#include <gtest/gtest.h>

using namespace larkhold;

namespace {

const QString polkitName = QStringLiteral("org.freedesktop.PolicyKit1");
const QString authorityPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString authorityInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");
const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
const QString reason = QStringLiteral("unlock the vault \u201cTaxes\u201d");

// Talks to python-dbusmock's polkitd stand-in, which answers CheckAuthorization from a list of allowed actions.
class PolkitMock {
public:
    explicit PolkitMock(QDBusConnection bus) : m_bus(std::move(bus)) {}

    QDBusMessage call(const QString& method, const QVariantList& arguments) {
        QDBusMessage message = QDBusMessage::createMethodCall(polkitName, authorityPath, mockInterface, method);
        message.setArguments(arguments);
        return m_bus.call(message);
    }
    void setAllowed(const QStringList& actions) { expectReply(call(QStringLiteral("SetAllowed"), {actions})); }
    void simulateHang(bool hang) { expectReply(call(QStringLiteral("SimulateHang"), {hang})); }
    bool haveHangingCalls() {
        const QDBusMessage reply = call(QStringLiteral("HaveHangingCalls"), {});
        return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
    }
    void releaseHangingCalls() { expectReply(call(QStringLiteral("ReleaseHangingCalls"), {})); }

    // Replaces CheckAuthorization with one that says yes only when the request names the calling process the
    // way real polkit needs it: pid, start time as the kernel reports it, uid, our action, user interaction
    // allowed, no details (polkit refuses details from unprivileged callers).
    void requireExactRequest(const QString& actionId) {
        const QString code =
            QStringLiteral("kind, fields = args[0]\n"
                           "pid = int(fields.get('pid', 0))\n"
                           "with open('/proc/%d/stat' % pid) as f:\n"
                           "    start = int(f.read().rsplit(')', 1)[1].split()[19])\n"
                           "import os\n"
                           "ok = (kind == 'unix-process'\n"
                           "      and int(fields['start-time']) == start and int(fields['uid']) == os.stat('/proc/%d' "
                           "% pid).st_uid\n"
                           "      and args[1] == '%1' and len(args[2]) == 0 and int(args[3]) == 1 and args[4] == '')\n"
                           "ret = (ok, False, {})\n")
                .arg(actionId);
        expectReply(
            call(QStringLiteral("AddMethod"), {authorityInterface, QStringLiteral("CheckAuthorization"),
                                               QStringLiteral("(sa{sv})sa{ss}us"), QStringLiteral("(bba{ss})"), code}));
    }

    // Replaces CheckAuthorization with one that answers with `code` and the given reply signature.
    void answerWith(const QString& replySignature, const QString& code) {
        expectReply(call(QStringLiteral("AddMethod"), {authorityInterface, QStringLiteral("CheckAuthorization"),
                                                       QStringLiteral("(sa{sv})sa{ss}us"), replySignature, code}));
    }

private:
    static void expectReply(const QDBusMessage& reply) {
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }
    QDBusConnection m_bus;
};

// One stand-in serves the whole suite, and the tests that replace its CheckAuthorization come last, after
// those that rely on the stand-in's own answers.
class PolkitOwnerCheckWithPolkit : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insidePrivateSession())
            GTEST_SKIP() << "needs the private session of run-with-peer.sh";
        if (!peerUnavailableReason().isEmpty())
            GTEST_SKIP() << "no polkit stand-in: " << peerUnavailableReason().toStdString();
        ASSERT_TRUE(waitForBusName(bus, polkitName)) << "the polkitd stand-in did not appear on the bus";
        mock.setAllowed({});
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    PolkitMock mock{bus};
    PolkitOwnerCheck check{bus};
};

} // namespace

TEST_F(PolkitOwnerCheckWithPolkit, PassesOnlyWhenPolkitAuthorisesOurAction) {
    EXPECT_FALSE(QCoro::waitFor(check.authenticate(reason)));

    mock.setAllowed({QString::fromLatin1(PolkitOwnerCheck::defaultActionId)});
    EXPECT_TRUE(QCoro::waitFor(check.authenticate(reason)));
    EXPECT_TRUE(QCoro::waitFor(check.authenticate(reason)));

    // Another application's action being allowed does not open ours.
    mock.setAllowed({QStringLiteral("org.example.other")});
    EXPECT_FALSE(QCoro::waitFor(check.authenticate(reason)));

    PolkitOwnerCheck otherAction(bus, QStringLiteral("org.example.other"));
    EXPECT_TRUE(QCoro::waitFor(otherAction.authenticate(reason)));
}

TEST_F(PolkitOwnerCheckWithPolkit, WaitsForTheAnswerWithoutBlockingTheEventLoop) {
    mock.setAllowed({QString::fromLatin1(PolkitOwnerCheck::defaultActionId)});
    mock.simulateHang(true);
    QCoro::Task<bool> pending = check.authenticate(reason);

    // While the user would be looking at the prompt, the event loop keeps running.
    bool loopRan = false;
    QMetaObject::invokeMethod(
        qApp, [&loopRan] { loopRan = true; }, Qt::QueuedConnection);
    QDeadlineTimer deadline(60000);
    do
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    while (!mock.haveHangingCalls() && !deadline.hasExpired());
    ASSERT_TRUE(mock.haveHangingCalls());
    EXPECT_TRUE(loopRan);
    EXPECT_FALSE(pending.isReady());

    mock.simulateHang(false);
    mock.releaseHangingCalls();
    EXPECT_TRUE(QCoro::waitFor(pending));
}

TEST_F(PolkitOwnerCheckWithPolkit, NamesThisProcessAndNoDetailsInTheRequest) {
    mock.requireExactRequest(QString::fromLatin1(PolkitOwnerCheck::defaultActionId));
    EXPECT_TRUE(QCoro::waitFor(check.authenticate(reason)));
}

TEST_F(PolkitOwnerCheckWithPolkit, ErrorsAndMalformedAnswersAreRefusals) {
    // What polkit says for an action whose policy file is not installed.
    mock.answerWith(QStringLiteral("(bba{ss})"),
                    QStringLiteral("raise dbus.exceptions.DBusException('Action %1 is not registered', "
                                   "name='org.freedesktop.PolicyKit1.Error.Failed')")
                        .arg(QString::fromLatin1(PolkitOwnerCheck::defaultActionId)));
    EXPECT_FALSE(QCoro::waitFor(check.authenticate(reason)));

    mock.answerWith(QStringLiteral("b"), QStringLiteral("ret = True"));
    EXPECT_FALSE(QCoro::waitFor(check.authenticate(reason)));

    mock.answerWith(QStringLiteral("(bba{ss})"), QStringLiteral("ret = (False, True, {})"));
    EXPECT_FALSE(QCoro::waitFor(check.authenticate(reason)));
}

TEST(PolkitOwnerCheckWithoutPolkit, FailsAtOnceWithoutAPrompt) {
    if (!insidePrivateSession())
        GTEST_SKIP() << "needs the private session of run-with-peer.sh";
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.isConnected());
    ASSERT_FALSE(bus.interface()->isServiceRegistered(polkitName));

    PolkitOwnerCheck check(bus);
    EXPECT_FALSE(QCoro::waitFor(check.authenticate(reason)));

    PolkitOwnerCheck noBus(QDBusConnection(QStringLiteral("larkhold-never-connected")));
    EXPECT_FALSE(QCoro::waitFor(noBus.authenticate(reason)));
}
