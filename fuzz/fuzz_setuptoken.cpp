// The frame setup-block parser: whatever it returns as a token has the
// token's shape, and a device name is one non-empty line.
#include "rules/bloomin8.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto token = Bloomin8TokenParser::parseToken(text)) {
        if (!Bloomin8TokenParser::looksLikeToken(*token) || *token != token->trimmed())
            std::abort();
    }
    if (const auto name = Bloomin8TokenParser::parseDeviceName(text)) {
        if (name->isEmpty() || name->contains(QLatin1Char('\n')) || name->contains(QLatin1Char('\r')))
            std::abort();
    }
    return 0;
}
