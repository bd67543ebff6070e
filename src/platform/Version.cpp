#include "platform/Version.h"

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

} // namespace platform::version
