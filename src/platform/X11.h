// Access to the X connection the toolkit holds. Null when the program runs elsewhere.
#pragma once

#include <xcb/xcb.h>

class QWidget;

namespace platform::x11 {

xcb_connection_t* connection();
xcb_window_t rootWindow();
int screenNumber();
xcb_atom_t atom(const char* name);
// _NET_WM_STATE_SKIP_TASKBAR / SKIP_PAGER on a mapped or unmapped top-level window.
void setSkipTaskbar(QWidget* window, bool skip);

} // namespace platform::x11
