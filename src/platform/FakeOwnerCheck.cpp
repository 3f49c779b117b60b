#include "FakeOwnerCheck.h"

namespace larkhold {

QCoro::Task<bool> FakeOwnerCheck::authenticate(const QString& reason) {
    m_reasons.append(reason);
    const bool answer = m_queued.isEmpty() ? m_defaultAnswer : m_queued.takeFirst();
    co_return answer;
}

} // namespace larkhold
