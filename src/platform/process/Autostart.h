// The per-user log-on start list: the XDG autostart entry kelvaro.desktop.
#pragma once

#include <QString>
#include <optional>

namespace platform::autostart {

QString entryPath();
// The entry exists and is on: not Hidden, not X-GNOME-Autostart-enabled=false.
bool exists();
// The program the entry starts, unquoted; nullopt when there is no usable entry.
std::optional<QString> read();
// Writes the entry atomically; false when it can't be written.
bool write(const QString& program);
// Removes the entry; false when there was none.
bool remove();

// Exec quoting of one argument by the desktop-entry rules, and its reverse.
QString quoteExecArgument(const QString& argument);
std::optional<QString> firstExecArgument(const QString& execValue);
// The string-value escapes of a desktop entry (\\ \s \n \t \r).
QString escapeValue(const QString& value);
QString unescapeValue(const QString& value);

} // namespace platform::autostart
