#include "sheet/xls/text.h"

namespace kestrune::xls {

namespace {

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    appendUtf8(out, c);
  }
  return out;
}

std::u16string utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    char32_t cp = 0xFFFD;
    std::size_t len = 1;
    char32_t min = 0;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07, min = 0x10000;
    } else {
      len = 0;  // stray continuation or invalid lead byte
    }
    if (len > 1) {
      bool valid = i + len <= text.size();
      for (std::size_t k = 1; valid && k < len; ++k) {
        const auto c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80)
          valid = false;
        else
          cp = (cp << 6) | (c & 0x3F);
      }
      if (!valid || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
        len = 1;
      }
    } else if (len == 0) {
      cp = 0xFFFD;
      len = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  return out;
}

bool readBiffString(ByteReader& in, bool shortLength, std::u16string& out) {
  const std::size_t cch = shortLength ? in.u8() : in.u16();
  const std::uint8_t flags = in.u8();
  std::size_t runs = 0;
  std::size_t ext = 0;
  if (flags & 0x08) runs = in.u16();
  if (flags & 0x04) ext = in.u32();
  if (!in.ok()) return false;
  const bool wide = flags & 0x01;
  const std::size_t charBytes = wide ? 2 : 1;
  if (!in.has(cch * charBytes)) return false;
  out.clear();
  out.reserve(cch);
  for (std::size_t i = 0; i < cch; ++i) out += static_cast<char16_t>(wide ? in.u16() : in.u8());
  if (!in.has(runs * 4 + ext)) return false;
  in.skip(runs * 4 + ext);
  return in.ok();
}

void appendBiffString(Bytes& out, std::u16string_view text, bool shortLength) {
  bool wide = false;
  for (char16_t c : text) wide = wide || c > 0xFF;
  if (shortLength)
    putU8(out, static_cast<std::uint8_t>(text.size()));
  else
    putU16(out, static_cast<std::uint16_t>(text.size()));
  putU8(out, wide ? 1 : 0);
  for (char16_t c : text) {
    if (wide)
      putU16(out, c);
    else
      putU8(out, static_cast<std::uint8_t>(c));
  }
}

}  // namespace kestrune::xls
