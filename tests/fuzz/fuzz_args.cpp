// libFuzzer target: splitting argument texts into words.
#include "platform/process/Process.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const QStringList words = platform::SplitArguments(text);
    // Words never hold more characters than the text did.
    qsizetype total = 0;
    for (const QString& w : words)
        total += w.size();
    if (total > text.size()) __builtin_trap();
    return 0;
}
