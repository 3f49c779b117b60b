#include "SheetModel.h"

#include "Prefill.h"

#include <QPointer>

namespace larkhold {

SheetModel::SheetModel(SheetServices services, QObject* parent) : QObject(parent), services_(services) {}

SheetModel::~SheetModel() = default;

void SheetModel::open() {
    if (opened_)
        return;
    opened_ = true;
    opened();
}

void SheetModel::setWorking(bool working) {
    if (working_ == working)
        return;
    working_ = working;
    emit changed();
}

void SheetModel::prefill(const Vault& vault, const QString& reason, std::function<void(const QString&)> fill) {
    runPrefill(vault, reason, std::move(fill));
}

QCoro::Task<> SheetModel::runPrefill(Vault vault, QString reason, std::function<void(const QString&)> fill) {
    QPointer<SheetModel> self(this);
    auto reading = prefillPassword(std::move(vault), std::move(reason), *services_.secrets, *services_.ownerCheck);
    std::optional<QString> saved = co_await reading;
    if (self && saved)
        fill(*saved);
    if (saved)
        wipeText(*saved);
}

void wipeText(QString& text) {
    if (text.isEmpty())
        return;
    // fill() overwrites the buffer in place when this string is its only owner; a shared buffer is
    // copied first and the other owners keep theirs.
    text.fill(QChar(u'\0'));
    text.clear();
}

} // namespace larkhold
