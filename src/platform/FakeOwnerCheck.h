#pragma once

#include "OwnerCheck.h"

#include <QList>
#include <QStringList>

namespace larkhold {

// Owner check for tests: answers from a script, in order, then with a fixed default; counts the requests and
// keeps the reasons it was asked with.
class FakeOwnerCheck final : public OwnerCheck {
public:
    explicit FakeOwnerCheck(bool defaultAnswer = false) : m_defaultAnswer(defaultAnswer) {}

    void setDefaultAnswer(bool answer) { m_defaultAnswer = answer; }
    // Answers for the next requests, first one first.
    void queueAnswers(const QList<bool>& answers) { m_queued += answers; }

    int callCount() const { return static_cast<int>(m_reasons.size()); }
    const QStringList& reasons() const { return m_reasons; }

    QCoro::Task<bool> authenticate(const QString& reason) override;

private:
    QList<bool> m_queued;
    QStringList m_reasons;
    bool m_defaultAnswer;
};

} // namespace larkhold
