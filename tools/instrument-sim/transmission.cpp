#include "transmission.h"

#include "cp932decoder.h"
#include "cp932encoder.h"

namespace {

template <typename Sequence>
QList<Sequence> cut(const Sequence& whole, const QList<int>& sizes, int repeatSize)
{
    QList<Sequence> pieces;
    qsizetype at = 0;
    for (int size : sizes) {
        if (at >= whole.size())
            break;
        pieces.append(whole.mid(at, size));
        at += size;
    }
    while (at < whole.size()) {
        const qsizetype size = repeatSize > 0 ? repeatSize : whole.size() - at;
        pieces.append(whole.mid(at, size));
        at += size;
    }
    return pieces;
}

}

Transmission::Transmission(QList<QByteArray> pieces)
    : m_pieces(std::move(pieces))
{
    // Count as the receiver does, so a split double-byte character counts when it is whole.
    Cp932Decoder decoder;
    int characters = 0;
    for (const QByteArray& piece : m_pieces) {
        characters += decoder.decode(piece).size();
        m_charactersThrough.append(characters);
    }
}

std::optional<Transmission> Transmission::fromText(
    const QString& text, const QList<int>& sizes, int repeatSize, bool sizesInBytes)
{
    if (sizesInBytes) {
        const std::optional<QByteArray> bytes = Cp932Encoder::encode(text);
        if (!bytes)
            return std::nullopt;
        return fromBytes(*bytes, sizes, repeatSize);
    }
    QList<QByteArray> pieces;
    for (const QString& part : cut(text, sizes, repeatSize)) {
        const std::optional<QByteArray> bytes = Cp932Encoder::encode(part);
        if (!bytes)
            return std::nullopt;
        pieces.append(*bytes);
    }
    return Transmission(pieces);
}

Transmission Transmission::fromBytes(
    const QByteArray& bytes, const QList<int>& sizes, int repeatSize)
{
    return Transmission(cut(bytes, sizes, repeatSize));
}

int Transmission::characterCount() const
{
    return m_charactersThrough.isEmpty() ? 0 : m_charactersThrough.constLast();
}

int Transmission::pieceReaching(int characters) const
{
    for (int i = 0; i < m_charactersThrough.size(); ++i) {
        if (m_charactersThrough.at(i) >= characters)
            return i;
    }
    return -1;
}
