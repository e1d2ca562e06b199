#pragma once

#include <QByteArray>
#include <QList>
#include <algorithm>
#include <cstddef>
#include <cstdint>

// How a fuzz input says where the line cuts its bytes into reads. The first byte gives the
// number of piece sizes (0 to 15), the next bytes those sizes (0 to 199; 0 stands for a poll
// that finds nothing), and the rest is what the instrument sent. The sizes repeat until the
// bytes run out, so a short prefix still cuts a long body many times; with no usable size the
// bytes come in one read. Keeping the cuts in the input lets the fuzzer mutate them like any
// other byte, and a saved input replays the very same reads.
class ChunkPlan {
public:
    ChunkPlan(const uint8_t* data, size_t size)
    {
        size_t at = 0;
        QList<int> sizes;
        if (size > 0) {
            const size_t count = std::min<size_t>(data[0] % 16, size - 1);
            for (size_t i = 0; i < count; ++i)
                sizes << data[1 + i] % 200;
            at = 1 + count;
        }
        m_bytes = QByteArray(reinterpret_cast<const char*>(data + at), qsizetype(size - at));

        int total = 0;
        for (int s : sizes)
            total += s;
        if (total == 0) {
            m_pieces << m_bytes;
            return;
        }
        for (qsizetype done = 0, i = 0; done < m_bytes.size(); ++i) {
            const qsizetype n = sizes[i % sizes.size()];
            m_pieces << m_bytes.mid(done, n);
            done += n;
        }
    }

    // Everything the instrument sent, as one run of bytes.
    QByteArray bytes() const { return m_bytes; }
    // The same bytes as the successive reads deliver them.
    QList<QByteArray> pieces() const { return m_pieces; }

private:
    QByteArray m_bytes;
    QList<QByteArray> m_pieces;
};
