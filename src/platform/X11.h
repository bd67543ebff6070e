// Access to the X connection the toolkit holds. Null when the program runs elsewhere.
#pragma once

#include <xcb/xcb.h>

class QWidget;

namespace platform::x11 {

xcb_connection_t* connection();
xcb_window_t rootWindow();
int screenNumber();
xcb_atom_t atom(const char* name);
// Keeps a mapped or unmapped top-level window out of the task bar and the pager.
void setSkipTaskbar(QWidget* window);

} // namespace platform::x11
