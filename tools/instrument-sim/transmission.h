#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// Something to put on the line, cut into pieces that go out one write each, so the receiver
// can be made to see a header or a body in several reads. Sizes are taken in order; after
// the list, the rest is cut into repeatSize pieces, or goes whole when repeatSize is 0.
class Transmission {
public:
    // Sizes count characters, or bytes of the code page 932 form when sizesInBytes is set (a
    // double-byte character may then straddle two pieces). std::nullopt when the text has a
    // character code page 932 cannot carry.
    static std::optional<Transmission> fromText(
        const QString& text, const QList<int>& sizes, int repeatSize, bool sizesInBytes);
    static Transmission fromBytes(const QByteArray& bytes, const QList<int>& sizes, int repeatSize);

    const QList<QByteArray>& pieces() const { return m_pieces; }

    // Characters the receiver has decoded once pieces 0 to index have arrived.
    int charactersThrough(int index) const { return m_charactersThrough.value(index); }
    int characterCount() const;
    // The first piece after which the receiver holds at least that many characters; -1 when
    // the whole transmission stays shorter.
    int pieceReaching(int characters) const;

private:
    explicit Transmission(QList<QByteArray> pieces);

    QList<QByteArray> m_pieces;
    QList<int> m_charactersThrough;
};
