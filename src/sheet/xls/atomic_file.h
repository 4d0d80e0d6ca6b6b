// Replaces a file's contents atomically: a temporary file in the same folder
// is written, synced and renamed over the target, so a reader sees the old
// file or the new one, never a part, and a failure leaves the old one.
#pragma once

#include "sheet/xls/byte_sink.h"
#include "sheet/xls/bytes.h"
#include "sheet/xls/xls_result.h"

#include <functional>
#include <string>

namespace kestrune::xls {

// Writes `data` as the file `path`. A symbolic link is written through: its
// target is replaced (the temporary file goes beside the target) and the link
// stays a link. The new file keeps the old one's permission bits, and its
// owner and group as far as we may set them; a file that did not exist gets
// 0666 less the umask. A read-only target (no write permission bit at all, or
// none for us) is refused, not replaced, even where we could replace it.
XlsStatus writeFileAtomically(const std::string& path, ByteView data);
// The same with the bytes `produce` writes to the sink it is given, through
// a buffer, straight into the temporary file. A failure of `produce` or of a
// write leaves the old file as it was and no temporary file.
using FileProducer = std::function<XlsStatus(ByteSink&)>;
XlsStatus writeFileAtomically(const std::string& path, const FileProducer& produce);

// What stands in the way of replacing `path`, found without writing anything.
enum class WriteObstacle {
  None,
  ReadOnlyFile,    // the file is read-only (see writeFileAtomically)
  ReadOnlyFolder,  // no temporary file can be made in the target's folder
  BrokenLink,      // a symbolic link whose target cannot be resolved
};
struct WriteCheck {
  WriteObstacle obstacle = WriteObstacle::None;
  std::string target;  // `path` with a symbolic link resolved
  std::string folder;  // the target's folder
};
WriteCheck checkWritable(const std::string& path);

}  // namespace kestrune::xls
