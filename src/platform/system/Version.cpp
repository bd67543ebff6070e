#include "platform/system/Version.h"

#include "KelvaroVersion.h"

#include <map>

namespace platform::version {

std::optional<std::pair<quint16, quint16>> Translation() {
    return std::make_pair(quint16(0x0C09), quint16(0x04E4));
}

std::optional<QString> QueryValue(const QString& subBlock) {
    static const std::map<QString, QString> strings = {
        {QStringLiteral("CompanyName"), QStringLiteral("Orvendale Software")},
        {QStringLiteral("FileDescription"), QStringLiteral("Kelvaro executable")},
        {QStringLiteral("FileVersion"), QStringLiteral(KELVARO_FILE_VERSION)},
        {QStringLiteral("InternalName"), QStringLiteral("Kelvaro")},
        {QStringLiteral("LegalCopyright"), QStringLiteral("Copyright (C) Orvendale Software")},
        {QStringLiteral("LegalTrademarks"), QString()},
        {QStringLiteral("OriginalFilename"), QStringLiteral("kelvaro")},
        {QStringLiteral("ProductName"), QStringLiteral("Kelvaro")},
        {QStringLiteral("ProductVersion"), QStringLiteral(KELVARO_PRODUCT_VERSION)},
        {QStringLiteral("Comments"), QString()},
    };
    const QString prefix = QStringLiteral("\\StringFileInfo\\0C0904E4\\");
    if (!subBlock.startsWith(prefix, Qt::CaseInsensitive)) return std::nullopt;
    const auto it = strings.find(subBlock.mid(prefix.size()));
    if (it == strings.end()) return std::nullopt;
    return it->second;
}

QString ReadVersionString(const QString& key) {
    const auto translation = Translation();
    if (!translation) return QString();
    auto hex4 = [](quint16 v) {
        return QString::number(v, 16).rightJustified(4, QLatin1Char('0')).toUpper();
    };
    const QString path = QStringLiteral("\\StringFileInfo\\") + hex4(translation->first) +
                         hex4(translation->second) + QLatin1Char('\\') + key;
    return QueryValue(path).value_or(QString());
}

} // namespace platform::version
