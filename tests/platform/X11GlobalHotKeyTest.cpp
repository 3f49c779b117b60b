// Runs on its own X server (xvfb-run); keys are typed with xdotool, which goes through XTEST like a
// real keyboard would.
#include "X11GlobalHotKey.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>
#include <X11/keysym.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

using namespace larkhold;

namespace {

constexpr HotKeyModifiers kCtrlAltSuper = HotKeyModifier::control | HotKeyModifier::alt | HotKeyModifier::super;

template <typename Predicate> bool waitUntil(Predicate done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 60000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// Types keys on the test's X server and waits until xdotool has sent them all.
void type(const QStringList& keys) {
    QProcess xdotool;
    QStringList arguments{QStringLiteral("key")};
    arguments += keys;
    xdotool.start(QStringLiteral("xdotool"), arguments);
    ASSERT_TRUE(xdotool.waitForStarted(60000));
    ASSERT_TRUE(waitUntil([&] { return xdotool.state() == QProcess::NotRunning; }));
    ASSERT_EQ(xdotool.exitCode(), 0) << xdotool.readAllStandardError().toStdString();
}

class X11GlobalHotKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "no X server";
    }
};

} // namespace

TEST_F(X11GlobalHotKeyTest, ACombinationPressedAnywhereArrives) {
    X11GlobalHotKey keys;
    ASSERT_EQ(keys.session(), GlobalHotKey::Session::x11);
    ASSERT_EQ(keys.grab(XK_l, kCtrlAltSuper), GlobalHotKey::GrabResult::grabbed);
    QSignalSpy activated(&keys, &GlobalHotKey::activated);
    type({QStringLiteral("ctrl+alt+super+l")});
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 1; }));
    // Other combinations of the same key stay with the other programs.
    type({QStringLiteral("ctrl+alt+l"), QStringLiteral("super+l"), QStringLiteral("l"),
          QStringLiteral("ctrl+alt+super+k"), QStringLiteral("ctrl+alt+super+l")});
    ASSERT_TRUE(waitUntil([&] { return activated.count() >= 2; }));
    EXPECT_EQ(activated.count(), 2);
}

TEST_F(X11GlobalHotKeyTest, LitLockKeysDoNotDisableIt) {
    X11GlobalHotKey keys;
    EXPECT_NE(keys.numLockMask(), 0);
    ASSERT_EQ(keys.grab(XK_k, HotKeyModifier::control | HotKeyModifier::shift | HotKeyModifier::super),
              GlobalHotKey::GrabResult::grabbed);
    QSignalSpy activated(&keys, &GlobalHotKey::activated);
    const QString combination = QStringLiteral("ctrl+shift+super+k");
    type({QStringLiteral("Caps_Lock"), combination});
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 1; }));
    type({QStringLiteral("Num_Lock"), combination});
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 2; }));
    type({QStringLiteral("Caps_Lock"), combination});
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 3; }));
    type({QStringLiteral("Num_Lock"), combination});
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 4; }));
}

TEST_F(X11GlobalHotKeyTest, ACombinationAnotherProgramHoldsIsReportedAndNotHalfTaken) {
    X11GlobalHotKey other;
    ASSERT_EQ(other.grab(XK_l, kCtrlAltSuper), GlobalHotKey::GrabResult::grabbed);

    X11GlobalHotKey keys;
    EXPECT_EQ(keys.grab(XK_l, kCtrlAltSuper), GlobalHotKey::GrabResult::taken);
    EXPECT_FALSE(keys.isGrabbed());
    // The other program keeps its grab whole.
    QSignalSpy otherActivated(&other, &GlobalHotKey::activated);
    type({QStringLiteral("ctrl+alt+super+l")});
    ASSERT_TRUE(waitUntil([&] { return otherActivated.count() == 1; }));

    // Once given back, the combination is free for us; a different one was free all along.
    other.release();
    EXPECT_FALSE(other.isGrabbed());
    EXPECT_EQ(keys.grab(XK_l, kCtrlAltSuper), GlobalHotKey::GrabResult::grabbed);
    QSignalSpy activated(&keys, &GlobalHotKey::activated);
    type({QStringLiteral("ctrl+alt+super+l")});
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 1; }));
    EXPECT_EQ(otherActivated.count(), 1);
}

TEST_F(X11GlobalHotKeyTest, ANewGrabReplacesTheOldOne) {
    X11GlobalHotKey keys;
    ASSERT_EQ(keys.grab(XK_l, kCtrlAltSuper), GlobalHotKey::GrabResult::grabbed);
    ASSERT_EQ(keys.grab(XK_j, kCtrlAltSuper), GlobalHotKey::GrabResult::grabbed);
    X11GlobalHotKey other;
    EXPECT_EQ(other.grab(XK_l, kCtrlAltSuper), GlobalHotKey::GrabResult::grabbed);
    EXPECT_EQ(other.grab(XK_j, kCtrlAltSuper), GlobalHotKey::GrabResult::taken);
}

TEST_F(X11GlobalHotKeyTest, KeysAreNamedByTheirUnshiftedSymbol) {
    X11GlobalHotKey keys;
    bool sawL = false;
    bool sawOne = false;
    for (quint32 code = 8; code < 256; ++code) {
        const quint32 keysym = keys.baseKeysym(code);
        sawL = sawL || keysym == XK_l;
        sawOne = sawOne || keysym == XK_1;
        EXPECT_NE(keysym, quint32(XK_exclam));
        EXPECT_NE(keysym, quint32(XK_L));
    }
    EXPECT_TRUE(sawL);
    EXPECT_TRUE(sawOne);
    EXPECT_EQ(keys.baseKeysym(300), 0u);
    // A symbol on no key of the layout cannot be grabbed.
    EXPECT_EQ(keys.grab(0x110ffff, kCtrlAltSuper), GlobalHotKey::GrabResult::noSuchKey);
}

TEST_F(X11GlobalHotKeyTest, WithoutAnXServerNothingIsGrabbed) {
    X11GlobalHotKey keys(QByteArrayLiteral("/nonexistent/socket:0"));
    EXPECT_EQ(keys.session(), GlobalHotKey::Session::none);
    EXPECT_EQ(keys.grab(XK_l, kCtrlAltSuper), GlobalHotKey::GrabResult::unavailable);
    EXPECT_EQ(keys.baseKeysym(46), 0u);
    keys.release();
}

TEST_F(X11GlobalHotKeyTest, UnderAWaylandCompositorTheGrabIsLimited) {
    qputenv("WAYLAND_DISPLAY", "wayland-0");
    X11GlobalHotKey keys;
    qunsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(keys.session(), GlobalHotKey::Session::waylandLimited);
}

namespace {

// A second client of the test's X server, to change the keyboard mapping and to probe grabs.
class OtherClient {
public:
    OtherClient() : connection_(xcb_connect(nullptr, nullptr)) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }
    ~OtherClient() { xcb_disconnect(connection_); }

    // The two keysym columns of a key.
    std::pair<xcb_keysym_t, xcb_keysym_t> symbols(xcb_keycode_t code) {
        const auto cookie = xcb_get_keyboard_mapping(connection_, code, 1);
        xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(connection_, cookie, nullptr);
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
        const std::pair<xcb_keysym_t, xcb_keysym_t> pair{syms[0], reply->keysyms_per_keycode > 1 ? syms[1] : 0};
        std::free(reply);
        return pair;
    }
    void setSymbols(xcb_keycode_t code, std::pair<xcb_keysym_t, xcb_keysym_t> pair) {
        const xcb_keysym_t syms[2] = {pair.first, pair.second};
        xcb_change_keyboard_mapping(connection_, 1, code, 2, syms);
        xcb_aux_sync();
    }
    // Whether some client holds the plain variant of the combination.
    bool isHeld(xcb_keycode_t code, quint16 modifiers) {
        const auto cookie =
            xcb_grab_key_checked(connection_, 1, root_, modifiers, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        xcb_generic_error_t* error = xcb_request_check(connection_, cookie);
        if (!error) {
            xcb_ungrab_key(connection_, code, root_, modifiers);
            xcb_aux_sync();
            return false;
        }
        std::free(error);
        return true;
    }

private:
    void xcb_aux_sync() {
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

    xcb_connection_t* connection_;
    xcb_window_t root_;
};

} // namespace

TEST_F(X11GlobalHotKeyTest, TheGrabFollowsItsKeyWhenTheLayoutChanges) {
    X11GlobalHotKey keys;
    quint32 codeL = 0;
    quint32 codeU = 0;
    for (quint32 code = 8; code < 256; ++code) {
        if (keys.baseKeysym(code) == XK_l)
            codeL = code;
        if (keys.baseKeysym(code) == XK_u)
            codeU = code;
    }
    ASSERT_TRUE(codeL && codeU);
    ASSERT_EQ(keys.grab(XK_l, kCtrlAltSuper), GlobalHotKey::GrabResult::grabbed);
    const quint16 ctrlAltSuper = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

    OtherClient other;
    const auto symbolsL = other.symbols(codeL);
    const auto symbolsU = other.symbols(codeU);
    // L moves to U's key and U to L's.
    other.setSymbols(codeU, symbolsL);
    other.setSymbols(codeL, symbolsU);
    ASSERT_TRUE(waitUntil([&] { return other.isHeld(codeU, ctrlAltSuper) && !other.isHeld(codeL, ctrlAltSuper); }));
    QSignalSpy activated(&keys, &GlobalHotKey::activated);
    type({QStringLiteral("ctrl+alt+super+l")});
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 1; }));

    other.setSymbols(codeU, symbolsU);
    other.setSymbols(codeL, symbolsL);
    ASSERT_TRUE(waitUntil([&] { return other.isHeld(codeL, ctrlAltSuper); }));
}
