#include "UpdateAlert.h"

#include "Dialogs.h"
#include "Glossary.h"

#include <QMessageBox>
#include <QPushButton>

namespace larkhold::UpdateAlert {

QString messageText(const UpdateRelease& release) {
    return QStringLiteral("Larkhold %1 is available").arg(release.version);
}

QString informativeText(const QString& currentVersion) {
    return QStringLiteral("You have %1. The update is a download — install it from %2.")
        .arg(currentVersion, glossary::installLocation);
}

QMessageBox* present(const UpdateRelease& release, const QString& currentVersion,
                     std::function<void(UpdateChecker::AlertChoice)> answer) {
    auto* box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("updateAlert"));
    box->setWindowTitle(QStringLiteral("Larkhold"));
    box->setText(messageText(release));
    box->setInformativeText(informativeText(currentVersion));
    Dialogs::keepPlain(box);
    QPushButton* view = box->addButton(QStringLiteral("View Download"), QMessageBox::AcceptRole);
    QPushButton* skip = box->addButton(QStringLiteral("Skip This Version"), QMessageBox::DestructiveRole);
    QPushButton* later = box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box->setDefaultButton(view);
    box->setEscapeButton(later);
    QObject::connect(box, &QMessageBox::finished, box, [box, view, skip, answer = std::move(answer)] {
        const QAbstractButton* clicked = box->clickedButton();
        if (clicked == view)
            answer(UpdateChecker::AlertChoice::viewDownload);
        else if (clicked == skip)
            answer(UpdateChecker::AlertChoice::skipVersion);
        else
            answer(UpdateChecker::AlertChoice::later);
    });
    box->open();
    box->raise();
    box->activateWindow();
    return box;
}

} // namespace larkhold::UpdateAlert
