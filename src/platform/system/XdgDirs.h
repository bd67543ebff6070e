// The user's folders as the XDG base directory rules name them.
#pragma once

#include <QString>

namespace platform::xdg {

// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or not an absolute path.
QString configHome();

} // namespace platform::xdg
