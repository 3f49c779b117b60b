#pragma once

#include "OwnerCheck.h"
#include "SheetModel.h"
#include "fakes/store/StoreFixture.h"

#include <QCoroSignal>
#include <QObject>

namespace larkhold::test {

// An owner check that answers only when the test says so, to see what a sheet does while the
// prompt is up.
class GatedOwnerCheck : public QObject, public OwnerCheck {
    Q_OBJECT

public:
    QStringList reasons;
    // Answers that reached the asker.
    int delivered = 0;

    QCoro::Task<bool> authenticate(const QString& reason) override {
        reasons.append(reason);
        auto answering = qCoro(this, &GatedOwnerCheck::answered);
        const bool answer = co_await answering;
        ++delivered;
        co_return answer;
    }
    void answer(bool allowed) { emit answered(allowed); }

signals:
    void answered(bool allowed);
};

// The store over the fake engine, and the services a sheet is built with.
class SheetsFixture : public StoreFixture {
protected:
    SheetServices services() { return {store.get(), &secrets, &owner}; }
    SheetServices gatedServices() { return {store.get(), &secrets, &gate}; }

    // Spins the event loop until `done` holds; a generous ceiling for a loaded machine.
    template <typename Predicate> bool eventually(Predicate done) { return waitUntil(done, 60'000); }

    GatedOwnerCheck gate;
};

} // namespace larkhold::test
