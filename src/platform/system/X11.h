// Access to the X connection the toolkit holds. Null when the program runs elsewhere.
#pragma once

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <functional>
#include <optional>
#include <vector>
#include <xcb/xcb.h>

class QWidget;

namespace platform::x11 {

xcb_connection_t* connection();
xcb_window_t rootWindow();
int screenNumber();
xcb_atom_t atom(const char* name);
// Keeps a top-level window out of the task bar and the pager (_NET_WM_STATE_SKIP_TASKBAR and
// _PAGER): a request to the window
// manager once the window is mapped, the property itself while it is not (a window about to
// be mapped is not the window manager's yet and would miss the request).
void setSkipTaskbar(QWidget* window);
// The frame buttons a window asks the window manager for (_MOTIF_WM_HINTS): title bar, border,
// system menu and close always; minimise when asked; never maximise or resize.
void setFrameButtons(QWidget* window, bool minimize);
// The frame the window manager puts around the window, as far as it is known now, without
// waiting: the window's own _NET_FRAME_EXTENTS (from this mapping or an earlier one), else the
// frame last seen around any of the program's windows; none before any was seen.
QMargins frameExtents(QWidget* window);
// Asks the window manager for the frame of a window about to be mapped
// (_NET_REQUEST_FRAME_EXTENTS, where it offers that) and does not wait for the answer: some
// list the request and never answer. Every later change of the window's _NET_FRAME_EXTENTS,
// the answer or the frame put on at mapping, reaches changed on the UI thread, for as long as
// the window lives; a second call replaces the first's callback.
void watchFrameExtents(QWidget* window, std::function<void(QMargins)> changed);
// A window's 32-bit property of the given type (up to 4096 items); empty where it has none.
std::vector<std::uint32_t> property32(xcb_window_t window, xcb_atom_t name, xcb_atom_t type);
// Where a window is, in the root window's pixels; none for a window that is gone.
std::optional<QRect> windowPlace(xcb_window_t window);
// The middle of the window that has the keyboard (_NET_ACTIVE_WINDOW), in the root window's
// pixels; none where the window manager doesn't say or there is no X connection.
std::optional<QPoint> activeWindowCentre();

} // namespace platform::x11
