#include "DesignCard.h"

#include "Clock.h"
#include "VaultContextMenu.h"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace larkhold {

DesignCard::DesignCard(const Vault& vault, HomeContext context, const Clock& clock, QWidget* parent)
    : Surface({}, parent), vault_(vault), context_(std::move(context)), clock_(clock) {}

QVBoxLayout* DesignCard::buildTexts(const TextLooks& looks) {
    auto* column = new QVBoxLayout;
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(5);
    auto* nameRow = new QHBoxLayout;
    nameRow->setContentsMargins(0, 0, 0, 0);
    nameRow->setSpacing(looks.chipSpacing);
    name_ = designLabel(vault_.name, looks.name, looks.nameColor, Qt::ElideRight);
    name_->setObjectName(QStringLiteral("vaultName"));
    name_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    chips_ = new ChipRow(looks.chipSpacing, name_, this);
    nameRow->addWidget(chips_, 0, Qt::AlignVCenter);
    nameRow->addStretch(1);
    column->addLayout(nameRow);
    meta_ = designLabel(QString(), looks.meta, looks.metaColor, Qt::ElideRight);
    meta_->setObjectName(QStringLiteral("metaLine"));
    meta_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    column->addWidget(meta_);
    return column;
}

void DesignCard::addCommands(QHBoxLayout* row, const CommandLooks& looks) {
    // A little room around the glyph makes it easier to hit; nothing is drawn there.
    DesignButton::Look menuLook = looks.menu;
    menuLook.padH = 4;
    menuLook.padV = 2;
    menu_ = new DesignButton(QStringLiteral("⋯"), menuLook, this);
    menu_->setObjectName(QStringLiteral("vaultMenu"));
    menu_->setToolTip(QStringLiteral("More"));
    row->addWidget(menu_, 0, Qt::AlignVCenter);

    spinner_ = new BusyIndicator(16, this);
    row->addWidget(spinner_, 0, Qt::AlignVCenter);
    open_ = new DesignButton(CardText::open, looks.open, this);
    open_->setObjectName(QStringLiteral("openButton"));
    row->addWidget(open_, 0, Qt::AlignVCenter);
    lock_ = new DesignButton(CardText::lock, looks.lock, this);
    lock_->setObjectName(QStringLiteral("lockButton"));
    row->addWidget(lock_, 0, Qt::AlignVCenter);
    locate_ = new DesignButton(CardText::locate, looks.offer, this);
    locate_->setObjectName(QStringLiteral("locateButton"));
    row->addWidget(locate_, 0, Qt::AlignVCenter);
    unlock_ = new DesignButton(CardText::unlock, looks.offer, this);
    unlock_->setObjectName(QStringLiteral("unlockButton"));
    row->addWidget(unlock_, 0, Qt::AlignVCenter);

    connect(menu_, &QPushButton::clicked, this, [this] {
        VaultContextMenu::popup(vault_, context_, this, menu_->mapToGlobal(QPoint(0, menu_->height())));
    });
    connect(open_, &QPushButton::clicked, this, [this] { act(context_.actions.openInFinder, vault_); });
    connect(lock_, &QPushButton::clicked, this, [this] { act(context_.actions.lock, vault_); });
    connect(locate_, &QPushButton::clicked, this, [this] { act(context_.actions.locate, vault_); });
    connect(unlock_, &QPushButton::clicked, this, [this] { act(context_.actions.unlock, vault_); });
}

DesignVault DesignCard::readAgain() {
    const DesignVault read = readVault(vault_, context_, clock_.now());
    model_ = read.model;
    name_->setText(vault_.name);
    name_->setToolTip(vault_.name);
    meta_->setToolTip(model_.fileState == VaultFileState::present ? QString()
                                                                  : CardText::lastKnownPath + vault_.bundlePath);
    showCommands(model_.controls, spinner_, open_, lock_, locate_, unlock_);
    return read;
}

QString DesignCard::openedAgo() const {
    return vault_.lastOpenedAt ? relativeTimeText(*vault_.lastOpenedAt, clock_.now()) : QString();
}

QStringList DesignCard::chipTexts() const {
    return chips_->texts();
}

void DesignCard::contextMenuEvent(QContextMenuEvent* event) {
    VaultContextMenu::popup(vault_, context_, this, event->globalPos());
    event->accept();
}

} // namespace larkhold
