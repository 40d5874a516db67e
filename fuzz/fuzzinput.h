#pragma once

// Reading a fuzz input as a stream of small values; past its end every value
// is zero, so that any input is a whole test case.

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_pos >= m_size; }
    unsigned take8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    unsigned take16() { return (take8() << 8) | take8(); }
    // Up to `count` bytes, fewer at the end.
    QByteArray takeBytes(size_t count)
    {
        const size_t n = count < m_size - m_pos ? count : m_size - m_pos;
        const QByteArray bytes(reinterpret_cast<const char *>(m_data + m_pos), int(n));
        m_pos += n;
        return bytes;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Stops the run with the broken contract; libFuzzer keeps the input.
[[noreturn]] inline void fuzzFail(const char *what, const QByteArray &detail = QByteArray())
{
    std::fprintf(stderr, "contract broken: %s %s\n", what, detail.constData());
    std::abort();
}
