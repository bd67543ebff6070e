#include "gamma/Gamma.h"

#include <QLocale>
#include <algorithm>
#include <cmath>
#include <cstdlib>

bool GammaRamp::isZero() const {
    return std::all_of(entries.begin(), entries.end(), [](std::uint16_t v) { return v == 0; });
}

float GammaValue(GammaPosition position) {
    return static_cast<float>(static_cast<long double>(position) * 0.1L);
}

namespace {

// b^e for a whole exponent, by repeated squaring.
long double IntPower(long double base, long long exponent) {
    bool negative = exponent < 0;
    unsigned long long n = negative ? static_cast<unsigned long long>(-exponent)
                                    : static_cast<unsigned long long>(exponent);
    long double result = 1.0L;
    while (n != 0) {
        if (n & 1U) result *= base;
        base *= base;
        n >>= 1U;
    }
    return negative ? 1.0L / result : result;
}

long double Power(long double base, long double exponent) {
    if (exponent == 0.0L) return 1.0L;
    if (base == 0.0L && exponent > 0.0L) return 0.0L;
    if (std::trunc(exponent) == exponent && std::fabs(exponent) <= 2147483647.0L)
        return IntPower(base, static_cast<long long>(exponent));
    return std::exp(exponent * std::log(base));
}

} // namespace

GammaRamp BuildGammaRamp(float gamma) {
    GammaRamp ramp;
    const long double e = 1.0L / static_cast<long double>(gamma);
    const long double step = 1.0L / 255.0L;
    for (int i = 0; i < 256; ++i) {
        const long double b = static_cast<long double>(i) * step;
        const long double p = Power(b, e);
        const auto v = static_cast<long long>(std::floor(p * 255.0L));
        const auto entry = static_cast<std::uint16_t>((v & 0xFF) << 8);
        ramp.red()[i] = entry;
        ramp.green()[i] = entry;
        ramp.blue()[i] = entry;
    }
    return ramp;
}

GammaRamp RampForPosition(GammaPosition position) {
    return BuildGammaRamp(GammaValue(position));
}

void ComposeChannel(std::uint16_t* channel, int size, const std::uint16_t* startup,
                    int startupSize) {
    // Constant divisors: the compiler turns them into multiplications, and this runs for every
    // entry of every output on each hot key.
    constexpr std::uint64_t full = 65535;
    const auto last = static_cast<std::uint64_t>(startupSize - 1);
    for (int i = 0; i < size; ++i) {
        const std::uint64_t scaled = channel[i] * last;
        const std::uint64_t j = scaled / full, r = scaled % full;
        if (r == 0) {
            channel[i] = startup[j];
            continue;
        }
        const std::uint64_t sum = startup[j] * (full - r) + startup[j + 1] * r;
        channel[i] = static_cast<std::uint16_t>((2 * sum + full) / (2 * full));
    }
}

bool IsIdentityChannel(const std::uint16_t* channel, int size) {
    const std::int64_t last = size - 1, top = channel[last];
    if (channel[0] != 0 || top < 0xFF00) return false;
    for (std::int64_t j = 1; j < last; ++j)
        if (std::llabs(channel[j] * last - j * top) > last) return false;
    return true;
}

QString GammaText(GammaPosition position) {
    const auto x = static_cast<double>(static_cast<long double>(position) * 0.1L);
    // QString::number is locale-free (always a full stop); the separator is swapped below.
    QString text = QString::number(x, 'g', 15);
    text.replace(QLatin1Char('.'), QLocale().decimalPoint());
    if (position % 10 == 0) text += QStringLiteral(".0");
    return text;
}
