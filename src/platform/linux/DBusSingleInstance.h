#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QUrl>
#include <QVariantMap>
#include <functional>

namespace larkhold {

// One running application per user session: the first process owns the session bus name org.larkhold.Larkhold and
// serves the freedesktop Application interface on /org/larkhold/Larkhold; a later one hands its files (or a plain
// "show yourself") to it and ends. The desktop file's actions and D-Bus activation reach the same interface.
class DBusSingleInstance : public QObject {
    Q_OBJECT

public:
    static const QString serviceName;
    static const QString objectPath;

    enum class Claim {
        primary,   // this process owns the name and now serves requests
        forwarded, // another process owns it and has taken the request
        failed,    // another process owns it but did not answer
        noBus,     // there is no session bus to agree on
    };

    explicit DBusSingleInstance(QDBusConnection bus, QObject* parent = nullptr);
    ~DBusSingleInstance() override;

    // Becomes the primary instance, or hands `files` (or, with none, an activation) to the one that is.
    Claim claim(const QList<QUrl>& files);
    // The same, with the files asked for only when they are handed over: the primary instance never
    // waits for them.
    Claim claimAskingForFiles(const std::function<QList<QUrl>()>& files);

    // Only file URLs count; anything else handed over is dropped.
    static QList<QUrl> fileUrlsOnly(const QList<QUrl>& urls);

signals:
    void activateRequested();
    // Never empty: a request without a single file URL is dropped.
    void openRequested(const QList<QUrl>& files);

private:
    friend class ApplicationAdaptor;
    bool forward(const QList<QUrl>& files);

    QDBusConnection bus_;
    bool registered_ = false;
};

// org.freedesktop.Application on the primary instance.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationAdaptor(DBusSingleInstance* owner);

public slots:
    void Activate(const QVariantMap& platformData);
    void Open(const QStringList& uris, const QVariantMap& platformData);
    void ActivateAction(const QString& name, const QVariantList& parameter, const QVariantMap& platformData);

private:
    DBusSingleInstance* owner_;
};

} // namespace larkhold
