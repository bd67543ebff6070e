// libFuzzer target: every stored value type and content read the ways the program reads them.
#include "platform/store/Hive.h"
#include "settings/Registry.h"

#include <QDir>
#include <QTemporaryDir>
#include <cstdint>

namespace {
platform::Hive* hive = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static QTemporaryDir dir(QDir("/dev/shm").exists()
                                 ? QStringLiteral("/dev/shm/kelvaro-fuzz-XXXXXX")
                                 : QDir::tempPath() + "/kelvaro-fuzz-XXXXXX");
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    static platform::Hive store(dir.filePath("registry.db"));
    hive = &store;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    TRegistry reg(*hive);
    reg.OpenKey(QStringLiteral("\\Fuzz"), true);
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    reg.WriteValue(QStringLiteral("V"), {int(data[0] % 8), bytes});
    try {
        reg.ReadString(QStringLiteral("V"));
    } catch (const ERegistryException&) {
    }
    try {
        reg.ReadInteger(QStringLiteral("V"));
    } catch (const ERegistryException&) {
    }
    try {
        reg.ReadBool(QStringLiteral("V"));
    } catch (const ERegistryException&) {
    }
    reg.ValueExists(QStringLiteral("v"));
    return 0;
}
