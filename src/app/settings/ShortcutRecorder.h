#pragma once

#include "Theme.h"

namespace larkhold {

class ShortcutRecorderModel;
class PanicHotKey;

// The button that shows the panic shortcut and, once pressed, records a new one from the next key
// press. While recording it takes every key of the application, Tab and Esc included; it stops when
// pressed again, on Esc, on a valid combination, or when it is hidden with its window.
class ShortcutRecorder : public QuietButton {
    Q_OBJECT

public:
    ShortcutRecorder(ShortcutRecorderModel& model, PanicHotKey& panic, QWidget* parent = nullptr);

protected:
    bool event(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();
    void handleKey(QKeyEvent* event);

    ShortcutRecorderModel& model_;
    PanicHotKey& panic_;
};

} // namespace larkhold
