#include "platform/system/XdgDirs.h"

#include <QDir>

namespace platform::xdg {

QString configHome() {
    const QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) return QDir::homePath() + "/.config";
    return base;
}

} // namespace platform::xdg
