#include "instrument/cp932_text.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

// glibc's iconv does the conversion; <iconv.h> stays in this file.
#include <iconv.h>

namespace kestrune::instrument {

namespace {

// Decodes one UTF-8 sequence at the start of `s`; -1 when it is not valid.
long decodeOne(std::string_view s) {
  if (s.empty()) return -1;
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  int length = 0;
  long code = 0;
  if (b0 < 0x80) return b0;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2;
    code = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3;
    code = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4;
    code = b0 & 0x07;
  } else {
    return -1;
  }
  if (s.size() < static_cast<std::size_t>(length)) return -1;
  for (int i = 1; i < length; ++i) {
    const auto b = static_cast<std::uint8_t>(s[static_cast<std::size_t>(i)]);
    if ((b & 0xC0) != 0x80) return -1;
    code = (code << 6) | (b & 0x3F);
  }
  static constexpr long kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return -1;
  return code;
}

class Converter {
public:
  Converter() : cd_(iconv_open("CP932", "UTF-8")) {}
  ~Converter() {
    if (valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(static_cast<std::intptr_t>(-1)); }
  iconv_t get() const { return cd_; }

private:
  iconv_t cd_;
};

}  // namespace

Result<std::string> utf8ToCp932(std::string_view utf8) {
  if (utf8.empty()) return std::string();
  Converter converter;
  if (!converter.valid()) return fail("the system has no UTF-8 to CP932 converter (iconv)");

  std::string input(utf8);
  // A double-byte character never takes more than twice the UTF-8 bytes.
  std::string output(input.size() * 2 + 4, '\0');
  char* in = input.data();
  std::size_t inLeft = input.size();
  char* out = output.data();
  std::size_t outLeft = output.size();
  if (iconv(converter.get(), &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) {
    const int error = errno;
    const std::size_t offset = input.size() - inLeft;
    const long code = decodeOne(std::string_view(input).substr(offset));
    if (error == EILSEQ && code >= 0) {
      char name[32];
      std::snprintf(name, sizeof name, "U+%04lX", code);
      return fail(std::string("character ") + name + " has no code page 932 equivalent");
    }
    return fail("invalid UTF-8 at byte " + std::to_string(offset));
  }
  output.resize(output.size() - outLeft);
  return output;
}

}  // namespace kestrune::instrument
