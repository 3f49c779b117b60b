#include "DisplayLoss.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <atomic>
#include <dlfcn.h>

namespace larkhold::DisplayLoss {

namespace {

std::atomic_bool watching{false};
std::atomic_bool lost{false};
// The plugin's own connection; other connections (the hot-key's) keep libxcb's answer.
std::atomic<void*> qtConnection{nullptr};

std::function<void()>& handler() {
    static std::function<void()> onLoss;
    return onLoss;
}

// Called from whichever thread found the connection broken; the handler runs on the main thread.
void reportLoss() {
    if (lost.exchange(true))
        return;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application)
        return;
    QMetaObject::invokeMethod(
        application,
        [] {
            if (handler())
                handler()();
        },
        Qt::QueuedConnection);
}

// Xlib, which the plugin also opens on the same connection, has a path of its own to the end: its fatal-error
// handler, and the exit that follows it. Both are replaced; once they return, Xlib marks the display dead and
// every later call on it returns at once. Looked up at run time: libX11 is the plugin's, not ours to link.
using Display = struct _XDisplay;
using IOErrorHandler = int (*)(Display*);
using IOErrorExitHandler = void (*)(Display*, void*);

int onFatalIOError(Display*) {
    reportLoss();
    return 0;
}

void onIOErrorExit(Display*, void*) {
    reportLoss();
}

void replaceXlibHandlers(Display* display) {
    using SetHandler = IOErrorHandler (*)(IOErrorHandler);
    using SetExitHandler = void (*)(Display*, IOErrorExitHandler, void*);
    const auto setHandler = reinterpret_cast<SetHandler>(::dlsym(RTLD_DEFAULT, "XSetIOErrorHandler"));
    const auto setExitHandler = reinterpret_cast<SetExitHandler>(::dlsym(RTLD_DEFAULT, "XSetIOErrorExitHandler"));
    if (!display || !setHandler || !setExitHandler)
        return;
    setHandler(onFatalIOError);
    setExitHandler(display, onIOErrorExit, nullptr);
}

} // namespace

void watch(std::function<void()> onLoss) {
    handler() = std::move(onLoss);
    if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        qtConnection = x11->connection();
        replaceXlibHandlers(reinterpret_cast<Display*>(x11->display()));
    }
    watching = true;
}

void stopWatching() {
    watching = false;
    handler() = nullptr;
}

bool happened() {
    return lost;
}

} // namespace larkhold::DisplayLoss

// The platform plugin asks libxcb whether the connection broke before it handles events, and exits when it has.
// This definition in the executable comes first in the symbol lookup, so the plugin asks here: while the
// application watches for it, a broken connection is reported to it and the plugin is told all is well (every
// further request on the dead connection fails quietly inside libxcb).
struct xcb_connection_t;

extern "C" __attribute__((visibility("default"))) int xcb_connection_has_error(xcb_connection_t* connection) {
    using Real = int (*)(xcb_connection_t*);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "xcb_connection_has_error"));
    const int error = real ? real(connection) : 0;
    if (error == 0 || !larkhold::DisplayLoss::watching || connection != larkhold::DisplayLoss::qtConnection.load())
        return error;
    larkhold::DisplayLoss::reportLoss();
    return 0;
}
