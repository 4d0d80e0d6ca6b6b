#include "serial/line_assembler.h"

namespace kestrune::serial {

namespace {
std::uint64_t byteCount(cp932::Code c) { return c > 0xFF ? 2 : 1; }
}  // namespace

DropReason LineAssembler::append(View chunk, cp932::Code endCode, bool keep) {
  // Lines taken since the last chunk leave now, in one move.
  text_.erase(0, head_);
  head_ = 0;
  // A chunk that fits leaves no line to judge: the usual case, in one append.
  if (!droppingLine_ && keep && text_.size() + chunk.size() < ReceiveBufferLimit) {
    text_.append(chunk);
    return DropReason::None;
  }
  // Where the unfinished last line starts (0: no line end is held).
  const std::size_t lastEnd = text_.rfind(endCode);
  std::size_t lineStart = lastEnd == cp932::CodeString::npos ? 0 : lastEnd + 1;
  DropReason reason = DropReason::None;
  for (const cp932::Code c : chunk) {
    if (droppingLine_) {
      dropped_.bytes += byteCount(c);
      droppingLine_ = c != endCode;
      continue;
    }
    if (!keep) continue;
    if (text_.size() >= ReceiveBufferLimit) {
      // No room: the line this character belongs to would arrive cut.
      reason = lineStart == 0 ? DropReason::LineTooLong : DropReason::BufferFull;
      dropLine(c, endCode, lineStart);
    } else if (text_.size() + 1 >= ReceiveBufferLimit && c != endCode && lineStart == 0) {
      // A buffer full without a line end can never yield a line.
      reason = DropReason::LineTooLong;
      dropLine(c, endCode, lineStart);
    } else {
      text_.push_back(c);
      if (c == endCode) lineStart = text_.size();
    }
  }
  return reason;
}

void LineAssembler::dropLine(cp932::Code c, cp932::Code endCode, std::size_t lineStart) {
  ++dropped_.lines;
  dropped_.bytes += byteCount(c);
  for (std::size_t i = lineStart; i < text_.size(); ++i) dropped_.bytes += byteCount(text_[i]);
  text_.erase(lineStart);
  droppingLine_ = c != endCode;
}

LineAssembler::View LineAssembler::frontLine(cp932::Code endCode) const {
  const View held = text();
  const std::size_t end = held.find(endCode);
  return end == View::npos ? View() : held.substr(0, end + 1);
}

void LineAssembler::popLine(cp932::Code endCode) {
  const std::size_t end = text_.find(endCode, head_);
  if (end == cp932::CodeString::npos) return;
  head_ = end + 1;
  if (empty()) clear();
}

void LineAssembler::clear() {
  text_.clear();
  head_ = 0;
}

}  // namespace kestrune::serial
