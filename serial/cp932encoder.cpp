#include "cp932encoder.h"

#include "cp932.h"
#include "cp932decoder.h"
#include "cp932table.h"

std::optional<QByteArray> Cp932Encoder::encode(const QString& text)
{
    QByteArray out;
    out.reserve(text.size() * 2);

    qsizetype runStart = -1;
    const auto flushRun = [&](qsizetype end) -> bool {
        if (runStart < 0)
            return true;
        const QString run = text.mid(runStart, end - runStart);
        runStart = -1;
        // Asked only for text beyond ASCII: the ACK that answers every poll never needs it.
        const std::optional<QByteArray> bytes = Cp932Table::encode(run);
        if (!bytes)
            return false;
        // A table may map a character to a look-alike (a best fit) without flagging it; only a
        // run that decodes back to itself is the text we were given.
        Cp932Decoder check;
        if (check.decode(*bytes) != run || check.hasError())
            return false;
        out += *bytes;
        return true;
    };

    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < 0x80) {
            // ICU's table swaps 0x1A, 0x1C and 0x7F; the code page itself is identity here.
            if (!flushRun(i))
                return std::nullopt;
            out += char(c);
        } else if (runStart < 0) {
            runStart = i;
        }
    }
    if (!flushRun(text.size()))
        return std::nullopt;
    return out;
}
