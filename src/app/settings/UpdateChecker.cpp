#include "UpdateChecker.h"

#include "Clock.h"
#include "Defaults.h"
#include "SettingsKeys.h"
#include "UpdateAlert.h"

#include <QCoroSignal>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <limits>

namespace larkhold {

namespace {

// Strict decimal: an optional single sign, then one or more ASCII digits and nothing else, within 64
// bits; anything else counts as 0.
qint64 versionPart(QStringView text) {
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    if (text.isEmpty())
        return 0;
    // Accumulated negatively so that the most negative value fits too.
    qint64 value = 0;
    constexpr qint64 lowest = std::numeric_limits<qint64>::min();
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return 0;
        const int digit = c.unicode() - u'0';
        if (value < (lowest + digit) / 10)
            return 0;
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    if (value == lowest)
        return 0;
    return -value;
}

QList<qint64> versionParts(const QString& version) {
    QList<qint64> parts;
    for (const QStringView part : QStringView(version).split(u'.', Qt::SkipEmptyParts))
        parts.append(versionPart(part));
    return parts;
}

// A flag set by the alert's answer, and the signal a waiting check resumes on.
class AlertAnswer : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    bool answered = false;

signals:
    void closed();
};

} // namespace

UpdateChecker::Config UpdateChecker::Config::forThisBuild() {
    Config config;
    const QString host = QStringLiteral(LARKHOLD_UPDATE_HOST);
    config.homePage.setScheme(QStringLiteral("https"));
    config.homePage.setHost(host);
    config.documentUrl = config.homePage;
    config.documentUrl.setPath(QStringLiteral("/api/version.json"));
    config.currentVersion = QStringLiteral(LARKHOLD_VERSION);
    if (config.currentVersion.isEmpty())
        config.currentVersion = QStringLiteral("0");
    return config;
}

UpdateChecker::UpdateChecker(Defaults& defaults, const Clock& clock, Config config, QObject* parent)
    : QObject(parent), defaults_(defaults), clock_(clock), config_(std::move(config)),
      presenter_(&UpdateAlert::present), opener_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    timer_.setInterval(config_.checkInterval);
    connect(&timer_, &QTimer::timeout, this, [this] { autoCheck(); });
}

UpdateChecker::~UpdateChecker() = default;

QString UpdateChecker::unexpectedResponseText() {
    return QStringLiteral("Unexpected response from the update server.");
}

void UpdateChecker::startAutomaticChecks() {
    if (timer_.isActive())
        return;
    timer_.start();
    autoCheck();
}

bool UpdateChecker::checkedRecently() const {
    const std::optional<Date> last = defaults_.dateValue(SettingsKeys::lastUpdateCheck);
    if (!last)
        return false;
    const double elapsed = clock_.now().secondsSinceReference - last->secondsSinceReference;
    // A check stamped in the future means the clock was moved back; trusting it would silence the
    // automatic checks for as long as the clock had been ahead.
    if (elapsed < 0)
        return false;
    return elapsed < std::chrono::duration<double>(kMinimumSpacing).count();
}

QCoro::Task<> UpdateChecker::autoCheck() {
    const QPointer<UpdateChecker> self(this);
    if (!defaults_.boolValue(SettingsKeys::updateCheckEnabled) || checkedRecently()) {
        emit automaticCheckFinished();
        co_return;
    }
    auto fetching = fetchLatest();
    const Fetched fetched = co_await fetching;
    if (!self)
        co_return;
    if (fetched.release) {
        defaults_.setDate(SettingsKeys::lastUpdateCheck, clock_.now());
        const UpdateRelease& release = *fetched.release;
        const bool skipped = defaults_.contains(SettingsKeys::skippedVersion) &&
                             defaults_.stringValue(SettingsKeys::skippedVersion) == release.version;
        if (isNewer(release.version, config_.currentVersion) && !skipped && alertsOpen_ == 0) {
            // The alert is not awaited: the next firing must not wait for the user.
            presentUpdateAlert(release);
        }
    }
    emit automaticCheckFinished();
}

QCoro::Task<QString> UpdateChecker::manualCheck() {
    const QPointer<UpdateChecker> self(this);
    auto fetching = fetchLatest();
    const Fetched fetched = co_await fetching;
    if (!fetched.release)
        co_return QStringLiteral("Could not check: ") + fetched.error;
    const UpdateRelease release = *fetched.release;
    if (!self)
        co_return QString();
    defaults_.setDate(SettingsKeys::lastUpdateCheck, clock_.now());
    if (isNewer(release.version, config_.currentVersion)) {
        auto presenting = presentUpdateAlert(release);
        co_await presenting;
        co_return QStringLiteral("Version %1 is available.").arg(release.version);
    }
    co_return QStringLiteral("You're up to date — %1 is the latest version.").arg(config_.currentVersion);
}

QCoro::Task<UpdateChecker::Fetched> UpdateChecker::fetchLatest() {
    if (!transport_)
        transport_ = UpdateTransport::load();
    if (!transport_)
        co_return Fetched{std::nullopt, UpdateTransport::missingText()};
    auto getting = transport_->get(config_.documentUrl, config_.timeout, kMaximumAnswerBytes);
    const UpdateTransport::Answer answer = co_await getting;
    if (!answer.body)
        co_return Fetched{std::nullopt, answer.error};
    co_return parse(*answer.body, config_.homePage);
}

UpdateChecker::Fetched UpdateChecker::parse(const QByteArray& body, const QUrl& homePage) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return Fetched{std::nullopt,
                       QStringLiteral("The update server’s answer is not JSON (%1).").arg(error.errorString())};
    if (!document.isObject())
        return Fetched{std::nullopt, unexpectedResponseText()};
    const QJsonObject object = document.object();
    const QJsonValue version = object.value(QLatin1String("version"));
    if (!version.isString())
        return Fetched{std::nullopt, unexpectedResponseText()};
    UpdateRelease release;
    release.version = version.toString();
    if (release.version.startsWith(u'v'))
        release.version.remove(0, 1);
    release.notes = object.value(QLatin1String("notes")).toString();
    const QJsonValue download = object.value(QLatin1String("download"));
    release.download = download.isString() ? download.toString() : homePage.toString();
    return Fetched{release, QString()};
}

bool UpdateChecker::isNewer(const QString& a, const QString& b) {
    const QList<qint64> left = versionParts(a);
    const QList<qint64> right = versionParts(b);
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const qint64 x = i < left.size() ? left[i] : 0;
        const qint64 y = i < right.size() ? right[i] : 0;
        if (x != y)
            return x > y;
    }
    return false;
}

QUrl UpdateChecker::downloadAddress(const UpdateRelease& release) const {
    const QUrl url(release.download, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (url.isValid() && (scheme == u"https" || scheme == u"http") && !url.host().isEmpty())
        return url;
    return config_.homePage;
}

QCoro::Task<> UpdateChecker::presentUpdateAlert(UpdateRelease release) {
    const QPointer<UpdateChecker> self(this);
    auto* answer = new AlertAnswer(this);
    // Listening before the alert shows: a presenter may answer at once.
    auto closing = qCoro(answer, &AlertAnswer::closed);
    const QPointer<AlertAnswer> guard(answer);
    ++alertsOpen_;
    presenter_(release, config_.currentVersion, [self, guard, release](AlertChoice choice) {
        if (!self || !guard || guard->answered)
            return;
        guard->answered = true;
        switch (choice) {
        case AlertChoice::viewDownload:
            self->opener_(self->downloadAddress(release));
            break;
        case AlertChoice::skipVersion:
            self->defaults_.setValue(SettingsKeys::skippedVersion, release.version);
            break;
        case AlertChoice::later:
            break;
        }
        emit guard->closed();
    });
    co_await closing;
    if (self)
        --self->alertsOpen_;
    if (guard)
        guard->deleteLater();
}

} // namespace larkhold

#include "UpdateChecker.moc"
