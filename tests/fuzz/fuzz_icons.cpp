// libFuzzer target: the icon reader on hostile .ico and PE files.
#include "platform/system/IconReader.h"

#include <QGuiApplication>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    platform::ReadIcoImages(bytes);
    platform::ReadIcoImages(platform::ExtractPeIconGroup(bytes));
    return 0;
}
