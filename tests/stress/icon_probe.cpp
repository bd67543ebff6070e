// Reads one file as an icon, draws it at the tray's and the window's sizes, and prints the
// address space the process had reserved at its peak before and after: "before after icon".
// The memory-bound tests run it under prlimit --as.
#include "platform/system/IconReader.h"

#include <QFile>
#include <QGuiApplication>
#include <cstdio>

namespace {

long long peakKb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmPeak:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) return 2;
    const long long before = peakKb();
    const QIcon icon = platform::ExtractIcon(QString::fromLocal8Bit(argv[1]));
    for (int side : {16, 32, 48})
        icon.pixmap(side, side);
    std::printf("%lld %lld %d\n", before, peakKb(), icon.isNull() ? 0 : 1);
    return 0;
}
