#pragma once

#include "UpdateTransport.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

namespace larkhold {

class Clock;
class Defaults;

// What the update server announced.
struct UpdateRelease {
    // Without a leading lower-case "v".
    QString version;
    // Empty when the document has none.
    QString notes;
    // As the server wrote it; downloadAddress() decides what is really opened.
    QString download;
};

// Asks the update server whether a newer version of Larkhold exists and, when one does, says so in an
// alert whose first button opens the download page. Nothing is downloaded or installed. Automatic checks
// run at launch and every 6 hours, reach the network at most once in 20 hours, and fail silently; the
// settings window's Check Now runs a manual check that always asks and returns a line to show.
class UpdateChecker : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::hours kCheckInterval{6};
    static constexpr std::chrono::hours kMinimumSpacing{20};
    static constexpr std::chrono::seconds kTimeout{15};
    // An answer larger than this is no version document.
    static constexpr qint64 kMaximumAnswerBytes = 1 << 20;

    struct Config {
        // https://<update host>/api/version.json
        QUrl documentUrl;
        // https://<update host>, opened when the announced download address is unusable.
        QUrl homePage;
        QString currentVersion;
        std::chrono::milliseconds timeout = kTimeout;
        std::chrono::milliseconds checkInterval = kCheckInterval;

        // The update host this build was configured with, and its version.
        static Config forThisBuild();
    };

    enum class AlertChoice { viewDownload, skipVersion, later };
    // Shows the update alert and calls `answer` once, when the user has chosen (closing counts as later).
    using AlertPresenter = std::function<void(const UpdateRelease& release, const QString& currentVersion,
                                              std::function<void(AlertChoice)> answer)>;
    using UrlOpener = std::function<void(const QUrl&)>;

    // One request's outcome: a release, or the text of what went wrong.
    struct Fetched {
        std::optional<UpdateRelease> release;
        QString error;
    };

    UpdateChecker(Defaults& defaults, const Clock& clock, Config config = Config::forThisBuild(),
                  QObject* parent = nullptr);
    ~UpdateChecker() override;

    // The alert defaults to a message box and the opener to the desktop's; tests replace both.
    void setAlertPresenter(AlertPresenter presenter) { presenter_ = std::move(presenter); }
    void setUrlOpener(UrlOpener opener) { opener_ = std::move(opener); }

    // One automatic check now, then one every checkInterval for the life of the checker. Later calls do
    // nothing.
    void startAutomaticChecks();
    // Silent on failure; gated by the setting, the 20 hours and a skipped version.
    QCoro::Task<> autoCheck();
    // Always asks; returns "Version … is available." once the alert is closed, the up-to-date line, or
    // "Could not check: …".
    QCoro::Task<QString> manualCheck();
    QCoro::Task<Fetched> fetchLatest();

    // Whether version a is strictly greater than b: dot-separated whole numbers, empty parts dropped,
    // a part that is no number counts as 0, missing parts count as 0.
    static bool isNewer(const QString& a, const QString& b);
    // The body of the server's answer, read as the version document.
    static Fetched parse(const QByteArray& body, const QUrl& homePage);
    // What "View Download" opens: the announced address when it is http or https with a host, otherwise
    // the home page. Nothing else (file:, custom schemes, bare words) reaches the desktop's opener.
    QUrl downloadAddress(const UpdateRelease& release) const;

    const QString& currentVersion() const { return config_.currentVersion; }
    const QTimer& timer() const { return timer_; }

    static QString unexpectedResponseText();

signals:
    // After every automatic check, whatever it did.
    void automaticCheckFinished();

private:
    // Shows the alert and carries out the choice; the returned task ends when the alert is closed.
    QCoro::Task<> presentUpdateAlert(UpdateRelease release);
    bool checkedRecently() const;

    Defaults& defaults_;
    const Clock& clock_;
    Config config_;
    // Made with the first request.
    std::unique_ptr<UpdateTransport> transport_;
    QTimer timer_;
    AlertPresenter presenter_;
    UrlOpener opener_;
    // Update alerts on screen: an automatic check adds none while one waits for its answer.
    int alertsOpen_ = 0;
};

} // namespace larkhold
