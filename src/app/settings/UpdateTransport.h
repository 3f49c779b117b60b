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

// The update check's https request. It lives in a module of its own (UpdateTransportModule.cpp),
// loaded the first time a check reaches the network: the network stack and its TLS libraries cost
// a start nothing, and nothing at all while checks are off or were made recently.
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

    // The module's transport; nullptr when the module cannot be loaded.
    static std::unique_ptr<UpdateTransport> load();
};

} // namespace larkhold

// The one entry point of the module.
extern "C" larkhold::UpdateTransport* larkhold_update_transport_new();
