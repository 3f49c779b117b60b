#include "DBusSingleInstance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>

namespace larkhold {

namespace {

const QString applicationInterface = QStringLiteral("org.freedesktop.Application");

// The platform data of a request; nothing of it is needed here.
QVariantMap noPlatformData() {
    return {};
}

} // namespace

const QString DBusSingleInstance::serviceName = QStringLiteral("org.larkhold.Larkhold");
const QString DBusSingleInstance::objectPath = QStringLiteral("/org/larkhold/Larkhold");

DBusSingleInstance::DBusSingleInstance(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {
    new ApplicationAdaptor(this);
}

DBusSingleInstance::~DBusSingleInstance() {
    if (registered_) {
        bus_.unregisterService(serviceName);
        bus_.unregisterObject(objectPath);
    }
}

QList<QUrl> DBusSingleInstance::fileUrlsOnly(const QList<QUrl>& urls) {
    QList<QUrl> files;
    for (const QUrl& url : urls) {
        if (url.isValid() && url.isLocalFile())
            files.append(url);
    }
    return files;
}

DBusSingleInstance::Claim DBusSingleInstance::claim(const QList<QUrl>& files) {
    return claimAskingForFiles([&files] { return files; });
}

DBusSingleInstance::Claim DBusSingleInstance::claimAskingForFiles(const std::function<QList<QUrl>()>& files) {
    if (!bus_.isConnected())
        return Claim::noBus;
    // The object is there before the name, so a request that finds the name also finds the object.
    if (!bus_.registerObject(objectPath, this, QDBusConnection::ExportAdaptors))
        return Claim::failed;
    // Two tries: the owner may end between our request for the name and our call to it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus_.interface()->registerService(
            serviceName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
        if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
            registered_ = true;
            return Claim::primary;
        }
        if (forward(files())) {
            bus_.unregisterObject(objectPath);
            return Claim::forwarded;
        }
    }
    bus_.unregisterObject(objectPath);
    return Claim::failed;
}

bool DBusSingleInstance::forward(const QList<QUrl>& files) {
    QDBusMessage call;
    if (files.isEmpty()) {
        call =
            QDBusMessage::createMethodCall(serviceName, objectPath, applicationInterface, QStringLiteral("Activate"));
        call << noPlatformData();
    } else {
        QStringList uris;
        for (const QUrl& url : files)
            uris.append(url.toString(QUrl::FullyEncoded));
        call = QDBusMessage::createMethodCall(serviceName, objectPath, applicationInterface, QStringLiteral("Open"));
        call << uris << noPlatformData();
    }
    // The running instance answers from its event loop at once; a minute covers a machine under heavy load.
    const QDBusMessage reply = bus_.call(call, QDBus::Block, 60'000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

ApplicationAdaptor::ApplicationAdaptor(DBusSingleInstance* owner) : QDBusAbstractAdaptor(owner), owner_(owner) {}

void ApplicationAdaptor::Activate(const QVariantMap&) {
    emit owner_->activateRequested();
}

void ApplicationAdaptor::Open(const QStringList& uris, const QVariantMap&) {
    QList<QUrl> urls;
    for (const QString& uri : uris)
        urls.append(QUrl(uri, QUrl::StrictMode));
    const QList<QUrl> files = DBusSingleInstance::fileUrlsOnly(urls);
    if (!files.isEmpty())
        emit owner_->openRequested(files);
}

void ApplicationAdaptor::ActivateAction(const QString&, const QVariantList&, const QVariantMap&) {
    // The desktop file's only action starts the program with files, which arrive through Open.
    emit owner_->activateRequested();
}

} // namespace larkhold
