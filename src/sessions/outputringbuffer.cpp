#include "outputringbuffer.h"

#include <cstring>

void OutputRingBuffer::append(const QByteArray &block)
{
    m_chunks.push_back(block);
    m_totalBytes += block.size();
    while (m_totalBytes > m_maxBytes && !m_chunks.empty()) {
        m_totalBytes -= m_chunks.front().size();
        m_chunks.pop_front();
    }
}

QByteArray OutputRingBuffer::snapshot() const
{
    if (m_totalBytes == 0)
        return {};
    QByteArray joined(static_cast<qsizetype>(m_totalBytes), Qt::Uninitialized);
    char *out = joined.data();
    for (const QByteArray &chunk : m_chunks) {
        std::memcpy(out, chunk.constData(), static_cast<size_t>(chunk.size()));
        out += chunk.size();
    }
    return joined;
}
