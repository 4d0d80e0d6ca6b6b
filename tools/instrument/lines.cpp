#include "instrument/lines.h"

#include <cstdio>

namespace kestrune::instrument {

std::vector<std::string> LineSplitter::feed(std::string_view bytes) {
  std::vector<std::string> lines;
  for (char c : bytes) {
    if (c == '\r' || c == '\n') {
      if (!current_.empty()) lines.push_back(std::move(current_));
      current_.clear();
    } else if (current_.size() < maxLength_) {
      current_ += c;
    }
  }
  return lines;
}

std::string describeBytes(std::string_view bytes) {
  std::string text;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F && b != '<') {
      text += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", b);
      text += hex;
    }
  }
  return text;
}

}  // namespace kestrune::instrument
