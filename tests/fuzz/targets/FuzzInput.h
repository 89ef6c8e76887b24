#pragma once
// Reads a fuzz input a piece at a time; past its end every piece is empty or 0.
#include <cstddef>
#include <cstdint>
#include <string>

class CFuzzInput {
public:
    CFuzzInput(const std::uint8_t* data, size_t size) : m_pData(data), m_nSize(size) {}

    std::uint8_t Byte() { return m_nAt < m_nSize ? m_pData[m_nAt++] : 0; }
    std::uint16_t Word() { return std::uint16_t(Byte() << 8 | Byte()); }
    // The bytes up to the next newline, which is passed over.
    std::string Line()
    {
        std::string line;
        while (m_nAt < m_nSize && m_pData[m_nAt] != '\n')
            line += char(m_pData[m_nAt++]);
        Byte();
        return line;
    }
    bool AtEnd() const { return m_nAt >= m_nSize; }

private:
    const std::uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nAt = 0;
};

// A check of the fuzz target's own: a failure aborts, which libFuzzer reports as a crash.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            __builtin_printf("fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            __builtin_trap();                                                              \
        }                                                                                  \
    } while (0)
