#include "core/cp932.h"

// glibc's iconv holds the code page 932 tables; it is used here only.
#include <iconv.h>

#include <vector>

namespace kestrune::cp932 {

void Decoder::feed(std::uint8_t byte, CodeString& out) {
  if (lead_ >= 0) {
    const auto lead = static_cast<Code>(lead_);
    lead_ = -1;
    if (isTrailByte(byte)) {
      out.push_back(static_cast<Code>(lead << 8 | byte));
      return;
    }
    // Not a pair: the lead byte stands alone and this byte is read afresh.
    out.push_back(lead);
  }
  if (isLeadByte(byte)) {
    lead_ = byte;
  } else {
    out.push_back(byte);
  }
}

void Decoder::feed(std::string_view bytes, CodeString& out) {
  for (const char c : bytes) feed(static_cast<std::uint8_t>(c), out);
}

void Decoder::flush(CodeString& out) {
  if (lead_ >= 0) out.push_back(static_cast<Code>(lead_));
  lead_ = -1;
}

CodeString decode(std::string_view bytes) {
  CodeString out;
  out.reserve(bytes.size());
  Decoder decoder;
  decoder.feed(bytes, out);
  decoder.flush(out);
  return out;
}

std::string encode(const CodeString& codes) {
  std::string out;
  out.reserve(codes.size() * 2);
  for (const Code c : codes) {
    if (isDoubleByte(c)) out.push_back(static_cast<char>(c >> 8));
    out.push_back(static_cast<char>(c & 0xFF));
  }
  return out;
}

namespace {

struct IconvHandle {
  iconv_t cd;
  IconvHandle(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (valid()) iconv_close(cd);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool valid() const { return cd != reinterpret_cast<iconv_t>(-1); }

  // Converts `in` completely or reports failure; `out` receives the bytes.
  bool convert(const char* in, std::size_t inLength, char* out, std::size_t& outLength) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* inPtr = const_cast<char*>(in);
    char* outPtr = out;
    std::size_t inLeft = inLength;
    std::size_t outLeft = outLength;
    const std::size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    if (r == static_cast<std::size_t>(-1) || inLeft != 0) return false;
    outLength -= outLeft;
    return true;
  }
};

// Code -> Unicode for every code, built once from glibc's converter.
class DecodeTable {
public:
  DecodeTable() : table_(0x10000, ReplacementCharacter) {
    for (unsigned b = 0; b < 0x80; ++b) table_[b] = static_cast<char16_t>(b);
    for (unsigned b = 0xA1; b <= 0xDF; ++b) table_[b] = static_cast<char16_t>(0xFF61 + (b - 0xA1));
    // Windows gives these single bytes private meanings; glibc refuses them.
    table_[0x80] = u'\u0080';
    table_[0xA0] = u'\uF8F0';
    table_[0xFD] = u'\uF8F1';
    table_[0xFE] = u'\uF8F2';
    table_[0xFF] = u'\uF8F3';
    IconvHandle cd("UTF-16LE", "CP932");
    if (!cd.valid()) return;
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
      if (!isLeadByte(static_cast<std::uint8_t>(lead))) continue;
      for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
        if (!isTrailByte(static_cast<std::uint8_t>(trail))) continue;
        const char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        unsigned char out[8];
        std::size_t outLength = sizeof out;
        if (cd.convert(in, 2, reinterpret_cast<char*>(out), outLength) && outLength == 2)
          table_[lead << 8 | trail] = static_cast<char16_t>(out[0] | out[1] << 8);
      }
    }
  }
  char16_t operator[](Code c) const { return table_[c]; }

private:
  std::vector<char16_t> table_;
};

const DecodeTable& decodeTable() {
  static const DecodeTable table;
  return table;
}

}  // namespace

QChar toUnicode(Code code) { return QChar(decodeTable()[code]); }

QString toUnicode(const CodeString& codes) {
  const DecodeTable& table = decodeTable();
  QString out;
  out.reserve(static_cast<qsizetype>(codes.size()));
  for (const Code c : codes) out.append(QChar(table[c]));
  return out;
}

CodeString fromUnicode(const QString& text) {
  CodeString out;
  out.reserve(static_cast<std::size_t>(text.size()));
  IconvHandle cd("CP932", "UTF-16LE");
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t u = text.at(i).unicode();
    if (u < 0x80) {
      out.push_back(u);
      continue;
    }
    switch (u) {
      case u'\u0080':
        out.push_back(0x80);
        continue;
      case u'\uF8F0':
        out.push_back(0xA0);
        continue;
      case u'\uF8F1':
        out.push_back(0xFD);
        continue;
      case u'\uF8F2':
        out.push_back(0xFE);
        continue;
      case u'\uF8F3':
        out.push_back(0xFF);
        continue;
      default:
        break;
    }
    const char in[2] = {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    unsigned char bytes[4];
    std::size_t length = sizeof bytes;
    if (!cd.valid() || !cd.convert(in, 2, reinterpret_cast<char*>(bytes), length)) {
      // Surrogates and characters outside the code page.
      if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ++i;
      out.push_back(u'?');
    } else if (length == 1) {
      out.push_back(bytes[0]);
    } else {
      out.push_back(static_cast<Code>(bytes[0] << 8 | bytes[1]));
    }
  }
  return out;
}

}  // namespace kestrune::cp932
