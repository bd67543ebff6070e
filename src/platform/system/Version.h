// The program's version block, compiled in, queried by the version resource's sub-block paths.
#pragma once

#include <QString>
#include <optional>
#include <utility>

namespace platform::version {

// "\VarFileInfo\Translation": language and code page of the first translation.
std::optional<std::pair<quint16, quint16>> Translation();
// "\StringFileInfo\<lang><codepage>\<key>" and the like; nullopt for a missing sub-block.
std::optional<QString> QueryValue(const QString& subBlock);
// A string of the version block, for its first translation; "" when missing.
QString ReadVersionString(const QString& key);

} // namespace platform::version
