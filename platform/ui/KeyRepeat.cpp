#include "platform/ui/KeyRepeat.h"

#include <QGuiApplication>

#if QT_CONFIG(xcb)
#include <QtGui/qguiapplication_platform.h>

// xkb.h names a field "explicit", which C++ reserves.
#define explicit xkb_explicit // NOLINT(cppcoreguidelines-macro-usage)
#include <xcb/xkb.h>
#undef explicit

#include <cstdlib>
#include <memory>
#endif

bool AskForDetectableAutoRepeat()
{
#if QT_CONFIG(xcb)
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) return false;
    // Qt has already started using XKB on this connection (its keymaps need it); the request
    // below is the extension's, so say which version we speak once more all the same.
    std::unique_ptr<xcb_xkb_use_extension_reply_t, decltype(&std::free)> use(
        xcb_xkb_use_extension_reply(
            connection,
            xcb_xkb_use_extension(connection, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION),
            nullptr),
        &std::free);
    if (!use || !use->supported) return false;
    constexpr uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    std::unique_ptr<xcb_xkb_per_client_flags_reply_t, decltype(&std::free)> set(
        xcb_xkb_per_client_flags_reply(
            connection,
            xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0),
            nullptr),
        &std::free);
    return set && (set->value & flag);
#else
    return false;
#endif
}
