// Cuts what one channel receives into lines. It holds at most
// ReceiveBufferLimit characters, hands out whole lines ended by the end code,
// and drops (and counts) a line it could not hold whole.
#pragma once

#include "core/cp932.h"

#include <cstdint>
#include <string_view>

namespace kestrune::serial {

// A channel holds at most this many received characters.
constexpr std::size_t ReceiveBufferLimit = 4096;

// What had to be dropped: whole lines, and their bytes (a double-byte
// character counts two).
struct DroppedCount {
  std::uint64_t lines = 0;
  std::uint64_t bytes = 0;
  friend bool operator==(const DroppedCount&, const DroppedCount&) = default;
};

// Why a chunk cost a line: the line alone filled the buffer without a line
// end (it could never be taken), or complete lines left no room for it.
enum class DropReason { None, LineTooLong, BufferFull };

class LineAssembler {
public:
  using View = std::u16string_view;

  // Takes a chunk as the port read it. Characters are kept only when `keep`
  // (a run is going on); the rest of a dropped line is dropped up to its end
  // code either way. A character that finds the buffer full, or a buffer
  // filled without any line end, costs the unfinished line: it goes, the
  // lines before it stay, and the rest of it is dropped as it arrives.
  // Returns the reason of the last line this chunk dropped.
  DropReason append(View chunk, cp932::Code endCode, bool keep = true);

  // Whether a whole line is in.
  bool hasLine(cp932::Code endCode) const { return text().find(endCode) != View::npos; }
  // The first whole line, its end code included; empty when there is none.
  // The view lasts until the next change.
  View frontLine(cp932::Code endCode) const;
  // Removes the first whole line, if any.
  void popLine(cp932::Code endCode);
  // Empties the buffer. A line being dropped is still dropped to its end.
  void clear();

  // Everything held, whole lines and the start of the next.
  View text() const { return View(text_).substr(head_); }
  bool empty() const { return head_ == text_.size(); }
  // Everything dropped since this object was made; never reset.
  DroppedCount dropped() const { return dropped_; }

private:
  void dropLine(cp932::Code c, cp932::Code endCode, std::size_t lineStart);

  cp932::CodeString text_;
  std::size_t head_ = 0;  // text_ before head_ has been taken
  bool droppingLine_ = false;
  DroppedCount dropped_;
};

}  // namespace kestrune::serial
