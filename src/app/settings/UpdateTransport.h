#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QtGlobal>
#include <chrono>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

namespace larkhold {

// The update check's https request. It runs in a short-lived process of its own (larkhold-update-fetch,
// UpdateFetchMain.cpp), started when a check reaches the network: the network stack and its TLS
// libraries never enter this process, so they cost a start nothing and leave nothing resident, and
// the parsing of a network answer's TLS stays away from the process that holds vault keys.
class UpdateTransport {
public:
    // The body of the server's answer (whatever its status), or what went wrong on the way.
    struct Answer {
        std::optional<QByteArray> body;
        QString error;
    };

    virtual ~UpdateTransport() = default;

    // A GET of `url` accepting JSON. Ends with an error when nothing arrives for `timeout` or the
    // answer grows beyond `maximumBytes`. A request still running when the transport is destroyed
    // never resumes its caller.
    virtual QCoro::Task<Answer> get(QUrl url, std::chrono::milliseconds timeout, qint64 maximumBytes) = 0;

    // The transport that runs the request in larkhold-update-fetch. A child still running when the
    // transport is destroyed is killed, not waited for.
    static std::unique_ptr<UpdateTransport> load();

    static QString tooLargeText() { return QStringLiteral("The update server’s answer is too large."); }
    static QString timedOutText() { return QStringLiteral("The request timed out."); }
    // Also when the request's program cannot be started or stops without an answer.
    static QString missingText() { return QStringLiteral("This installation of Larkhold lacks its network part."); }
};

} // namespace larkhold
