// larkhold-update-fetch URL TIMEOUT_MS MAXIMUM_BYTES: the update check's https request, run in a process of its
// own (see UpdateTransport.h). Writes one frame to stdout, "body N\n" or "error N\n" followed by N bytes, and
// exits 0; it reads no settings and nothing of the user's.
#include "UpdateTransport.h"

#include <QCoreApplication>
#include <QCoroSignal>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <cerrno>
#include <unistd.h>

namespace larkhold {

namespace {

QString transportErrorText(const QNetworkReply& reply, bool timedOut, bool tooLarge) {
    if (tooLarge)
        return UpdateTransport::tooLargeText();
    if (timedOut || reply.error() == QNetworkReply::TimeoutError)
        return UpdateTransport::timedOutText();
    return reply.errorString();
}

class NetworkTransport {
public:
    QCoro::Task<UpdateTransport::Answer> get(QUrl url, std::chrono::milliseconds timeout, qint64 maximumBytes) {
        QNetworkRequest request(url);
        request.setRawHeader("Accept", "application/json");
        request.setTransferTimeout(static_cast<int>(timeout.count()));
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
            co_return UpdateTransport::Answer{std::nullopt, transportErrorText(*reply, timedOut, tooLarge)};
        co_return UpdateTransport::Answer{reply->readAll(), QString()};
    }

private:
    QNetworkAccessManager network_;
};

bool writeAll(const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

} // namespace

} // namespace larkhold

int main(int argc, char** argv) {
    // Whatever the application had open without close-on-exec (a library's careless descriptor) stays out
    // of the program that talks to the network. Done here rather than between fork and exec, where QProcess
    // still needs its own descriptors to learn whether the program started.
    ::close_range(3, ~0U, 0);
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    bool timeoutOk = false, maximumOk = false;
    const QUrl url(arguments.value(1), QUrl::StrictMode);
    const qint64 timeout = arguments.value(2).toLongLong(&timeoutOk);
    const qint64 maximumBytes = arguments.value(3).toLongLong(&maximumOk);
    if (arguments.size() != 4 || !url.isValid() || !timeoutOk || timeout <= 0 || timeout > INT_MAX || !maximumOk ||
        maximumBytes <= 0)
        return 2;

    larkhold::NetworkTransport transport;
    const larkhold::UpdateTransport::Answer answer =
        QCoro::waitFor(transport.get(url, std::chrono::milliseconds(timeout), maximumBytes));
    const QByteArray payload = answer.body ? *answer.body : answer.error.toUtf8();
    const QByteArray frame = (answer.body ? QByteArrayLiteral("body ") : QByteArrayLiteral("error ")) +
                             QByteArray::number(payload.size()) + '\n';
    return larkhold::writeAll(frame + payload) ? 0 : 1;
}
