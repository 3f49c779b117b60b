// The update check's network side, linked into a module of its own: see UpdateTransport.h.
#include "UpdateTransport.h"

#include <QCoroSignal>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace larkhold {

namespace {

QString transportErrorText(const QNetworkReply& reply, bool timedOut, bool tooLarge) {
    if (tooLarge)
        return QStringLiteral("The update server’s answer is too large.");
    if (timedOut || reply.error() == QNetworkReply::TimeoutError)
        return QStringLiteral("The request timed out.");
    return reply.errorString();
}

class NetworkTransport : public UpdateTransport {
public:
    QCoro::Task<Answer> get(QUrl url, std::chrono::milliseconds timeout, qint64 maximumBytes) override {
        QNetworkRequest request(url);
        request.setRawHeader("Accept", "application/json");
        request.setTransferTimeout(static_cast<int>(timeout.count()));
        // The reply stays the manager's child: if the transport goes, the reply goes with it and
        // this request simply never resumes.
        QNetworkReply* reply = network_.get(request);
        bool tooLarge = false;
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                         [reply, &tooLarge, maximumBytes](qint64 received, qint64) {
                             if (received > maximumBytes && !tooLarge) {
                                 tooLarge = true;
                                 reply->abort();
                             }
                         });
        if (!reply->isFinished()) {
            auto finishing = qCoro(reply, &QNetworkReply::finished);
            co_await finishing;
        }
        reply->deleteLater();
        // The transfer timeout aborts the request as if it had been cancelled.
        const bool timedOut = reply->error() == QNetworkReply::OperationCanceledError && !tooLarge;
        // Whatever the status, a server that answered has its body read: a version document behind
        // an error status is still one.
        const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        if (tooLarge || timedOut || (reply->error() != QNetworkReply::NoError && !answered))
            co_return Answer{std::nullopt, transportErrorText(*reply, timedOut, tooLarge)};
        co_return Answer{reply->readAll(), QString()};
    }

private:
    QNetworkAccessManager network_;
};

} // namespace

} // namespace larkhold

extern "C" Q_DECL_EXPORT larkhold::UpdateTransport* larkhold_update_transport_new() {
    return new larkhold::NetworkTransport;
}
