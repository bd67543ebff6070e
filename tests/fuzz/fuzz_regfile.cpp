// libFuzzer target: importing hostile REGEDIT4 files into a store.
#include "platform/store/Hive.h"
#include "settings/RegFile.h"

#include <QDir>
#include <QTemporaryDir>
#include <cstdint>
#include <memory>

namespace {
platform::Hive* hive = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // On tmpfs where there is one: every import commits, and a disk would make that the cost.
    static QTemporaryDir dir(QDir("/dev/shm").exists()
                                 ? QStringLiteral("/dev/shm/kelvaro-fuzz-XXXXXX")
                                 : QDir::tempPath() + "/kelvaro-fuzz-XXXXXX");
    static platform::Hive store(dir.filePath("registry.db"));
    hive = &store;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        ImportRegFile(*hive,
                      QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));
        ExportRegFile(*hive, QStringLiteral("\\"));
    } catch (const RegFileError&) {
    } catch (const platform::HiveError&) {
    }
    // Each input starts from an empty store, so the runs stay fast and independent.
    for (const QString& name : hive->subKeyNames(hive->root()))
        if (const auto key = hive->findKey(hive->root(), name)) hive->deleteKey(*key);
    return 0;
}
