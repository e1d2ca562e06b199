#pragma once

// Byte classes of code page 932 (Windows Shift JIS), shared by its decoder and encoder.
namespace Cp932 {

inline const char* codecName() { return "windows-31j"; }

inline bool isLeadByte(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
inline bool isTrailByte(unsigned char b)
{
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}
inline bool isHalfWidthKatakana(unsigned char b) { return b >= 0xA1 && b <= 0xDF; }

constexpr char16_t halfWidthKatakanaBase = 0xFF61;

}
