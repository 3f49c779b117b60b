#pragma once

#include <QByteArray>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

namespace larkhold::test {

// An HTTP server on 127.0.0.1 for the update check: answers every request with one canned response,
// or keeps the connection open without a word.
class LoopbackServer : public QObject {
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QByteArray accept;
    };

    LoopbackServer() {
        // The request runs in a child that inherits this environment: a proxy named there would take it elsewhere.
        for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
            qunsetenv(name);
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
            }
        });
    }

    QUrl url(const QString& path = QStringLiteral("/api/version.json")) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path));
    }

    void answer(int status, const QByteArray& body, const QByteArray& contentType = "application/json") {
        silent_ = false;
        response_ = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\nContent-Type: " + contentType +
                    "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    void answerJson(const QByteArray& body) { answer(200, body); }
    // Accepts and reads, then never answers.
    void stayQuiet() { silent_ = true; }
    // Refuses connections from now on.
    void stop() { server_.close(); }

    const QList<Request>& requests() const { return requests_; }
    // Connections the other end has not closed yet.
    int openConnections() const {
        int open = 0;
        for (const QTcpSocket* socket : findChildren<QTcpSocket*>())
            open += socket->state() == QAbstractSocket::ConnectedState;
        return open;
    }

private:
    void read(QTcpSocket* socket) {
        QByteArray& buffer = buffers_[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        Request request;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (const QByteArray& line : lines) {
            if (line.toLower().startsWith("accept:"))
                request.accept = line.mid(7).trimmed();
        }
        requests_.append(request);
        buffers_.remove(socket);
        if (silent_)
            return;
        socket->write(response_);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    QByteArray response_;
    bool silent_ = false;
    QMap<QTcpSocket*, QByteArray> buffers_;
    QList<Request> requests_;
};

} // namespace larkhold::test
