#pragma once

#include "WindowPresenter.h"

#include <QList>
#include <QMap>

namespace larkhold {

// Records the requests; the last skip-taskbar request per window is its state.
class FakeWindowPresenter final : public WindowPresenter {
public:
    void moveToCurrentDesktop(quintptr windowId) override { moved.append(windowId); }
    void setSkipTaskbar(quintptr windowId, bool skip) override { skipTaskbar.insert(windowId, skip); }

    QList<quintptr> moved;
    QMap<quintptr, bool> skipTaskbar;
};

} // namespace larkhold
