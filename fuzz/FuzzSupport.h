#pragma once

// What every fuzz target shares: turning the fuzzer's bytes into texts, and failing loudly.

#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzsupport {

// A text from the input. Mostly UTF-8, which is what a file or a command line carries; sometimes
// raw UTF-16 code units, so the helpers also meet lone surrogates and other text no keyboard makes.
inline QString toText(const std::string &bytes, bool raw) {
    if (!raw)
        return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    QString text;
    text.reserve(qsizetype(bytes.size() / 2));
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.append(
            QChar(char16_t(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return text;
}

inline QString takeText(FuzzedDataProvider &in, size_t maxLength = 512) {
    const bool raw = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    return toText(in.ConsumeRandomLengthString(maxLength), raw);
}

inline QString restText(FuzzedDataProvider &in) {
    const bool raw = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    return toText(in.ConsumeRemainingBytesAsString(), raw);
}

// A broken property: libFuzzer records the input as a crash.
[[noreturn]] inline void fail(const char *condition, const QString &detail, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n  %s\n  (UTF-16 code units: %s)\n", file, line, condition,
                 qUtf8Printable(detail),
                 QByteArray(reinterpret_cast<const char *>(detail.utf16()), detail.size() * 2).toHex(' ').constData());
    std::abort();
}

} // namespace fuzzsupport

#define FUZZ_CHECK(condition, detail)                                                                                  \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            fuzzsupport::fail(#condition, (detail), __FILE__, __LINE__);                                               \
    } while (0)
