#pragma once

#include <QByteArray>

#include <deque>

/// The recent output of one shell: whole blocks as the pseudo-terminal delivered them, oldest
/// first, trimmed from the oldest end to stay within `maxBytes`.
///
/// Appending stores the block itself (an implicitly shared QByteArray, no copy of earlier
/// output); the history is joined into one block only by snapshot(), once per attach.
class OutputRingBuffer
{
public:
    static constexpr qint64 DefaultMaxBytes = 10 * 1024 * 1024;

    explicit OutputRingBuffer(qint64 maxBytes = DefaultMaxBytes)
        : m_maxBytes(maxBytes)
    {
    }

    /// Adds `block` at the newest end, then drops whole blocks from the oldest end while more
    /// than `maxBytes` are retained. A block larger than the limit empties the buffer.
    void append(const QByteArray &block);

    /// All retained blocks joined, oldest first; empty when nothing is retained.
    QByteArray snapshot() const;

    qint64 maxBytes() const { return m_maxBytes; }
    qint64 totalBytes() const { return m_totalBytes; }
    qsizetype chunkCount() const { return static_cast<qsizetype>(m_chunks.size()); }

private:
    qint64 m_maxBytes;
    std::deque<QByteArray> m_chunks;
    qint64 m_totalBytes = 0;
};
