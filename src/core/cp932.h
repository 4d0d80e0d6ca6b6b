// Code page 932 (Shift_JIS as Windows has it) text as character codes.
//
// Serial traffic and script files are kept as sequences of character codes:
// a single-byte character has its byte as code (0x00-0xFF), a double-byte
// character has (lead << 8) | trail. Delimiters and end codes then compare by
// code, and sending writes one or two bytes per character.
//
// Representation of bytes that are not valid code page 932: nothing is ever
// dropped. Every byte that does not begin a valid double-byte pair is a
// single-byte character with its own code, so 0x80, 0xA0, 0xFD-0xFF, a lead
// byte followed by a byte that cannot trail (two characters: the lead alone,
// then the other byte) and a lead byte at the end of the input all survive as
// codes and go back on the wire as the same bytes. Only the conversion to
// Unicode for display is lossy: 0x80, 0xA0 and 0xFD-0xFF become U+0080 and
// U+F8F0-U+F8F3 as on Windows, and a lone lead byte or a well-formed pair
// without a character becomes U+FFFD.
#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::cp932 {

using Code = char16_t;
// A string of character codes. Not UTF-16: each element is a code as above.
using CodeString = std::u16string;

constexpr Code ReplacementCharacter = u'\uFFFD';

constexpr bool isLeadByte(std::uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
constexpr bool isTrailByte(std::uint8_t b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }
constexpr bool isDoubleByte(Code c) { return c > 0xFF; }

// Takes bytes as they arrive and yields whole characters: a double-byte
// character only once its trail byte is in.
class Decoder {
public:
  // Appends the characters completed by `byte` (none, one or two) to `out`.
  void feed(std::uint8_t byte, CodeString& out);
  void feed(std::string_view bytes, CodeString& out);
  // True while a lead byte waits for its trail byte.
  bool pending() const { return lead_ >= 0; }
  // Ends the input: a waiting lead byte becomes a single-byte character.
  void flush(CodeString& out);
  void reset() { lead_ = -1; }

private:
  int lead_ = -1;
};

// Decodes a complete byte sequence (a final lone lead byte included).
CodeString decode(std::string_view bytes);
// The bytes of a code string: one byte per single-byte code, two per double-byte code.
std::string encode(const CodeString& codes);

// Unicode for display and for cells.
QChar toUnicode(Code code);
QString toUnicode(const CodeString& codes);
// Code page 932 codes for Unicode text; a character the code page lacks becomes '?'.
CodeString fromUnicode(const QString& text);

// Convenience for tests and literals: the codes of a text written in UTF-8.
inline CodeString fromUtf8(std::string_view utf8) {
  return fromUnicode(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

}  // namespace kestrune::cp932
