// Access to the X connection the toolkit holds. Null when the program runs elsewhere.
#pragma once

#include <QMargins>
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
// The frame the window manager puts around the window: its own _NET_FRAME_EXTENTS, asked for
// before the window is mapped where the window manager offers that; none without one.
QMargins frameExtents(QWidget* window);

} // namespace platform::x11
