// How each type of value is held in the store, and how a key path is walked down the tree: the
// one place the program, kelvaro-reg and the .reg files take them from.
#pragma once

#include "platform/store/Hive.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace values {

// String data: the text's UTF-8 bytes and one zero byte.
platform::RegValue String(const QString& text, int type = platform::REG_SZ);
// REG_DWORD: 4 bytes, REG_QWORD: 8 bytes, little-endian.
platform::RegValue Dword(quint32 number);
platform::RegValue Qword(quint64 number);
// REG_MULTI_SZ: each item with its zero byte, and one more zero byte at the end.
platform::RegValue MultiString(const QStringList& items);

// The text of string data: up to its first zero byte.
QString Text(const QByteArray& data);
// Little-endian data of at most 4 (8) bytes as a number; nullopt when it is longer.
std::optional<quint32> DwordOf(const QByteArray& data);
std::optional<quint64> QwordOf(const QByteArray& data);
// The items of REG_MULTI_SZ data (the empty item that ends the list is not one).
QStringList Strings(const QByteArray& data);

// "REG_SZ" for REG_SZ and so on; the type of a name (nullopt for an unknown one).
QString TypeName(int type);
std::optional<int> TypeOf(const QString& name);

// Key names as the tools write them: "HKEY_CURRENT_USER" (or "HKCU") and the keys below it,
// separated by "\"; a "\" at the end is allowed. The names below the root, nullopt when the
// name is not under HKEY_CURRENT_USER or has an empty part.
extern const QString RootName;
std::optional<QStringList> KeyNameParts(const QString& name);
QString KeyName(const QStringList& parts);

// The key that parts name below from, each created on the way when create is set; nullopt
// when one is missing or can't be made.
std::optional<platform::KeyId> WalkKeyPath(platform::Hive& hive, platform::KeyId from,
                                           const QStringList& parts, bool create);

} // namespace values
