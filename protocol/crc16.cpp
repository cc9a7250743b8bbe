#include "crc16.h"

#include <array>

namespace {

constexpr std::array<quint16, 256> makeTable()
{
    std::array<quint16, 256> table{};
    for (int i = 0; i < 256; ++i) {
        quint16 value = quint16(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 0x8000) ? quint16((value << 1) ^ 0x1021) : quint16(value << 1);
        table[i] = value;
    }
    return table;
}

constexpr std::array<quint16, 256> crcTable = makeTable();
static_assert(crcTable[1] == 0x1021 && crcTable[2] == 0x2042 && crcTable[3] == 0x3063);

} // namespace

quint16 crc16(const quint8 *bytes, int count)
{
    quint16 crc = 0;
    for (int i = 0; i < count; ++i)
        crc = quint16(((crc << 8) & 0xFFFF) ^ crcTable[((crc >> 8) ^ bytes[i]) & 0xFF]);
    return crc;
}
