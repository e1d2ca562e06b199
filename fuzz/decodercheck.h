#pragma once

#include "chunkplan.h"
#include "cp932decoder.h"
#include "cp932encoder.h"

#include <QString>

// Properties of the line decoder for any bytes cut into any reads. Returns a description of
// the first property that fails, or an empty string. Shared by the fuzzer, which aborts on an
// answer, and by the regression test, which replays saved inputs through it.
namespace DecoderCheck {

inline QString describe(const QByteArray& bytes)
{
    return QStringLiteral(" (input %1)").arg(QString::fromLatin1(bytes.toHex(' ')));
}

inline QString run(const uint8_t* data, size_t size)
{
    const ChunkPlan plan(data, size);
    const QByteArray bytes = plan.bytes();

    Cp932Decoder whole;
    const QString text = whole.decode(bytes);

    // A double-byte character split between two reads must come out as one character, and
    // nothing else may depend on where the reads were cut.
    Cp932Decoder pieces;
    QString joined;
    for (const QByteArray& piece : plan.pieces())
        joined += pieces.decode(piece);
    if (joined != text || pieces.hasError() != whole.hasError())
        return QStringLiteral("decoding in reads differs from decoding at once") + describe(bytes);

    // Bad bytes are never silently turned into a plausible character.
    if (whole.hasError() != text.contains(QChar::ReplacementCharacter))
        return QStringLiteral("error flag and U+FFFD disagree") + describe(bytes);
    if (text.size() > bytes.size())
        return QStringLiteral("more characters than bytes") + describe(bytes);

    // No byte below 0x40 (the controls, digits, the comma) is ever a trail byte: line noise
    // must not swallow an ACK, an ESC or a comma, nor add one, or every field after it shifts.
    QString lowFromBytes;
    for (const char b : bytes) {
        if (static_cast<unsigned char>(b) < 0x40)
            lowFromBytes += QChar(char16_t(static_cast<unsigned char>(b)));
    }
    QString lowFromText;
    for (const QChar c : text) {
        if (c.unicode() < 0x40)
            lowFromText += c;
    }
    if (lowFromBytes != lowFromText)
        return QStringLiteral("characters below 0x40 lost or invented") + describe(bytes);

    // Every character that is not U+FFFD is a real code page 932 character: the result file
    // can hold it, and reading the file back gives the same text.
    for (const QString& run : text.split(QChar::ReplacementCharacter)) {
        const std::optional<QByteArray> encoded = Cp932Encoder::encode(run);
        if (!encoded)
            return QStringLiteral("decoded text cannot be encoded") + describe(bytes);
        Cp932Decoder back;
        if (back.decode(*encoded) != run || back.hasError())
            return QStringLiteral("decoded text does not survive encoding") + describe(bytes);
    }

    // A discard forgets everything: afterwards the decoder behaves as a new one.
    pieces.reset();
    if (pieces.decode(bytes) != text)
        return QStringLiteral("reset decoder differs from a new one") + describe(bytes);
    return {};
}

}
