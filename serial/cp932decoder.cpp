#include "cp932decoder.h"

#include "cp932.h"
#include "cp932table.h"

namespace {
constexpr char16_t replacement = 0xFFFD;
}

bool Cp932Decoder::isValid() const { return Cp932Table::isAvailable(); }

QString Cp932Decoder::decode(const QByteArray& bytes)
{
    QByteArray data;
    if (m_hasPendingLead) {
        data.reserve(bytes.size() + 1);
        data.append(m_pendingLead);
        m_hasPendingLead = false;
    }
    data.append(bytes);

    QString out;
    out.reserve(data.size());
    QByteArray pairs;
    const auto flushPairs = [&] {
        if (!pairs.isEmpty()) {
            out += decodeDoubleBytes(pairs);
            pairs.clear();
        }
    };
    const auto invalid = [&] {
        flushPairs();
        out += QChar(replacement);
        m_invalidSeen = true;
    };

    const qsizetype size = data.size();
    for (qsizetype i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        if (b < 0x80) {
            flushPairs();
            out += QChar(char16_t(b));
        } else if (Cp932::isHalfWidthKatakana(b)) {
            flushPairs();
            out += QChar(char16_t(Cp932::halfWidthKatakanaBase + (b - 0xA1)));
        } else if (Cp932::isLeadByte(b)) {
            if (i + 1 == size) {
                m_pendingLead = data[i];
                m_hasPendingLead = true;
                break;
            }
            if (Cp932::isTrailByte(static_cast<unsigned char>(data[i + 1]))) {
                pairs.append(data[i]);
                pairs.append(data[i + 1]);
                ++i;
            } else {
                // The byte after a stray lead byte starts afresh, so an ACK or ESC right
                // after line noise is not swallowed.
                invalid();
            }
        } else {
            invalid();
        }
    }
    flushPairs();
    return out;
}

QString Cp932Decoder::decodeDoubleBytes(const QByteArray& pairs)
{
    if (std::optional<QString> text = Cp932Table::decodePairs(pairs))
        return *text;

    // Some code in the run is unassigned: decode one code at a time so that only that one
    // becomes U+FFFD and its neighbours keep their own characters.
    QString text;
    for (qsizetype i = 0; i + 1 < pairs.size(); i += 2) {
        const std::optional<QString> one = Cp932Table::decodePairs(pairs.mid(i, 2));
        if (!one || one->size() != 1) {
            text += QChar(replacement);
            m_invalidSeen = true;
        } else {
            text += *one;
        }
    }
    return text;
}

void Cp932Decoder::reset()
{
    m_hasPendingLead = false;
    m_pendingLead = 0;
    m_invalidSeen = false;
}
