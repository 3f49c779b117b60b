#pragma once

#include "GlobalHotKey.h"

#include <QObject>
#include <QString>

namespace larkhold {

class Defaults;
class PanicHotKey;

// What the shortcut recorder shows and does: idle, it shows the stored combination; recording, it takes
// the next key press with at least one of Ctrl, Alt and Super as the new panic shortcut. The old grab is
// given up while recording so that the keys reach the window, and the stored combination is taken again
// when recording ends, however it ends.
class ShortcutRecorderModel : public QObject {
    Q_OBJECT

public:
    enum class KeyResult {
        // Not recording, a modifier alone, or a key without Ctrl, Alt or Super: nothing changes.
        ignored,
        // Esc, with or without modifiers: recording ends, nothing is stored.
        cancelled,
        // A key the shortcut cannot name: recording goes on and the note says why.
        unusable,
        // The combination is stored and live.
        saved,
    };

    ShortcutRecorderModel(Defaults& defaults, PanicHotKey& panic, QObject* parent = nullptr);
    ~ShortcutRecorderModel() override;

    bool isRecording() const { return recording_; }
    // Follows the panic switch.
    bool isEnabled() const;
    // "Press keys…" while recording, else the stored combination ("Ctrl+Alt+Super+L").
    QString title() const;
    // A line under the recorder when something stands in the shortcut's way; empty otherwise.
    QString note() const;
    // Whether the note reports a problem with the shortcut rather than a property of the session.
    bool noteIsProblem() const;

    void toggle();
    void start();
    void stop();

    // `keysym` is the key's unshifted symbol.
    KeyResult keyPressed(quint32 keysym, HotKeyModifiers modifiers);

    static QString pressKeysTitle() { return QStringLiteral("Press keys…"); }

signals:
    void changed();

private:
    Defaults& defaults_;
    PanicHotKey& panic_;
    bool recording_ = false;
    bool unusableKey_ = false;
};

} // namespace larkhold
