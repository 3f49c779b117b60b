#include "StandardSelfTest.h"

#include "BlockingAwait.h"
#include "CloudExclusion.h"
#include "UuidText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QUuid>
#include <optional>
#include <stdexcept>

namespace larkhold {

namespace {

const QString kVolumeName = QStringLiteral("TarnSelfTest");
const QString kRenamedVolume = QStringLiteral("TarnSelfTest2");
const QString kPassword = QStringLiteral("trialrun-code");
const QString kNewPassword = QStringLiteral("trialrun-code-2");
const QString kWrongPassword = QStringLiteral("false-code");
const QString kProbeName = QStringLiteral("probe.txt");
const QByteArray kProbeContent = QByteArrayLiteral("hello");
constexpr qint64 kSizeMB = 256;
constexpr qint64 kGrownSizeMB = 512;

// One run's image and the volumes it has attached. Every ending goes through cleanUp(), which
// detaches before it deletes: removing the folder under a mounted volume would leave the
// decrypted volume mounted with its image gone.
class Run {
public:
    Run(const DiskImage& engine, QString folder)
        : engine_(engine), folder_(std::move(folder)), image_(folder_ + QStringLiteral("/SelfTest.sparsebundle")) {}

    const QString& image() const { return image_; }
    void setImage(const QString& path) { image_ = path; }

    QString attach(const QString& password, bool nobrowse) {
        QString mountPoint = awaitTask(engine_.attach(image_, password, nobrowse));
        attached_.append(mountPoint);
        return mountPoint;
    }

    // Attaching must be refused with the wrong-password error; any other error ends the run.
    bool attachIsRefused(const QString& password) {
        try {
            attach(password, false);
        } catch (const DiskImageError& e) {
            if (e.isBadPassword()) {
                return true;
            }
            throw;
        }
        return false;
    }

    void detach(const QString& mountPoint) {
        awaitTask(engine_.detach(mountPoint, false));
        attached_.removeAll(mountPoint);
    }

    // The volume may have moved (a renamed volume is mounted again under its new name), so the
    // engine is asked where the image is mounted now, besides the mount points this run saw.
    void cleanUp() {
        for (int round = 0; round < 2; ++round) {
            QStringList mountPoints = attached_;
            try {
                if (auto now = awaitTask(engine_.mountPoint(image_))) {
                    mountPoints.prepend(*now);
                }
            } catch (...) {
            }
            mountPoints.removeDuplicates();
            for (const QString& mountPoint : mountPoints) {
                try {
                    awaitTask(engine_.detach(mountPoint, true));
                } catch (...) {
                }
            }
            attached_.clear();
        }
        QDir(folder_).removeRecursively();
    }

    [[noreturn]] void fail(const QString& text) {
        cleanUp();
        throw StandardSelfTest::Failure(text);
    }

private:
    const DiskImage& engine_;
    QString folder_;
    QString image_;
    QStringList attached_;
};

void writeProbe(const QString& mountPoint) {
    QFile file(mountPoint + QLatin1Char('/') + kProbeName);
    if (!file.open(QIODevice::WriteOnly) || file.write(kProbeContent) != kProbeContent.size() || !file.flush()) {
        throw std::runtime_error(
            QStringLiteral("Couldn’t write “%1”: %2").arg(file.fileName(), file.errorString()).toStdString());
    }
}

QString readProbe(const QString& mountPoint) {
    QFile file(mountPoint + QLatin1Char('/') + kProbeName);
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error(
            QStringLiteral("Couldn’t read “%1”: %2").arg(file.fileName(), file.errorString()).toStdString());
    }
    return QString::fromUtf8(file.readAll());
}

} // namespace

QString StandardSelfTest::folderPrefix() {
    return QStringLiteral("tarnfolder-selftest-");
}

void StandardSelfTest::run(const DiskImage& engine) {
    const QString folder =
        QDir::temp().filePath(folderPrefix() + uuidString(QUuid::createUuid()));
    if (!QDir().mkpath(folder)) {
        throw std::runtime_error(QStringLiteral("Couldn’t create the folder “%1”.").arg(folder).toStdString());
    }
    Run run(engine, folder);
    try {
        awaitTask(engine.create(run.image(), kVolumeName, kSizeMB, kPassword));
        QString mountPoint = run.attach(kPassword, false);
        writeProbe(mountPoint);
        run.detach(mountPoint);

        if (!run.attachIsRefused(kWrongPassword)) {
            run.fail(QStringLiteral("wrong password was accepted"));
        }

        run.setImage(CloudExclusion::exclude(run.image()));
        if (QFileInfo(run.image()).suffix() != QLatin1String(CloudExclusion::kExtension)) {
            run.fail(QStringLiteral("iCloud exclusion rename"));
        }

        const QString hidden = run.attach(kPassword, true);
        awaitTask(engine.renameVolume(hidden, kRenamedVolume));
        const std::optional<QString> renamed = awaitTask(engine.mountPoint(run.image()));
        if (!renamed) {
            run.fail(QStringLiteral("renamed volume not found among attached images"));
        }
        run.detach(*renamed);

        awaitTask(engine.changePassword(run.image(), kPassword, kNewPassword));
        if (!run.attachIsRefused(kPassword)) {
            run.fail(QStringLiteral("old password still accepted after change"));
        }

        awaitTask(engine.resize(run.image(), kGrownSizeMB, kNewPassword));
        awaitTask(engine.resize(run.image(), kSizeMB, kNewPassword));

        mountPoint = run.attach(kNewPassword, false);
        const QString content = readProbe(mountPoint);
        const bool nameKept = mountPoint.endsWith(kRenamedVolume);
        if (nameKept) {
            run.detach(mountPoint);
        } else {
            try {
                run.detach(mountPoint);
            } catch (...) {
            }
            run.fail(QStringLiteral("volume rename did not stick"));
        }
        if (content != QString::fromUtf8(kProbeContent)) {
            run.fail(QStringLiteral("content mismatch"));
        }
    } catch (const Failure&) {
        throw; // already cleaned up
    } catch (...) {
        run.cleanUp();
        throw;
    }
    run.cleanUp();
}

} // namespace larkhold
