#include "ShortcutRecorder.h"

#include "KeyCodes.h"
#include "PanicHotKey.h"
#include "ShortcutRecorderModel.h"

#include <QKeyEvent>

namespace larkhold {

namespace {

HotKeyModifiers modifiersOf(const QKeyEvent& event) {
    HotKeyModifiers modifiers;
    const Qt::KeyboardModifiers held = event.modifiers();
    modifiers.setFlag(HotKeyModifier::control, held & Qt::ControlModifier);
    modifiers.setFlag(HotKeyModifier::alt, held & Qt::AltModifier);
    modifiers.setFlag(HotKeyModifier::shift, held & Qt::ShiftModifier);
    // X's Super is Qt's Meta.
    modifiers.setFlag(HotKeyModifier::super, held & Qt::MetaModifier);
    return modifiers;
}

} // namespace

ShortcutRecorder::ShortcutRecorder(ShortcutRecorderModel& model, PanicHotKey& panic, QWidget* parent)
    : QuietButton(QString(), parent), model_(model), panic_(panic) {
    setObjectName(QStringLiteral("shortcutRecorder"));
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QPushButton::clicked, &model_, &ShortcutRecorderModel::toggle);
    connect(&model_, &ShortcutRecorderModel::changed, this, &ShortcutRecorder::refresh);
    refresh();
}

void ShortcutRecorder::refresh() {
    setText(model_.title());
    setEnabled(model_.isEnabled());
    setAccessibleName(QStringLiteral("Panic shortcut: %1").arg(model_.title()));
    // Only keys typed into this window while it has focus are recorded: no keyboard grab, so keys
    // meant for other programs stay theirs.
    if (model_.isRecording() && isVisible())
        setFocus(Qt::OtherFocusReason);
}

bool ShortcutRecorder::event(QEvent* event) {
    if (model_.isRecording()) {
        switch (event->type()) {
        case QEvent::ShortcutOverride:
            // No menu shortcut or mnemonic may take a key meant for the recorder.
            event->accept();
            return true;
        case QEvent::KeyPress:
            // Before QWidget::event, which would move the focus on Tab.
            handleKey(static_cast<QKeyEvent*>(event));
            return true;
        case QEvent::KeyRelease:
            event->accept();
            return true;
        default:
            break;
        }
    }
    return QuietButton::event(event);
}

void ShortcutRecorder::handleKey(QKeyEvent* event) {
    event->accept();
    // The key itself, not what Shift makes of it: Shift+1 is stored as 1.
    quint32 keysym = event->nativeScanCode() ? panic_.baseKeysym(event->nativeScanCode()) : 0;
    if (keysym == 0)
        keysym = event->nativeVirtualKey();
    if (keysym == 0)
        keysym = KeyCodes::keysymForQtKey(event->key());
    model_.keyPressed(keysym, modifiersOf(*event));
}

void ShortcutRecorder::hideEvent(QHideEvent* event) {
    model_.stop();
    QuietButton::hideEvent(event);
}

} // namespace larkhold
