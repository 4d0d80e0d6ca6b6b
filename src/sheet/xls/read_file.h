// A file opened for reading piece by piece (pread), so that a parser reads
// each part once into the place where it is kept.
#pragma once

#include "sheet/xls/cfb.h"
#include "sheet/xls/xls_result.h"

#include <memory>
#include <string>

namespace kestrune::xls {

class ReadFile final : public FileSource {
public:
  // Opens `path`; the error says why not (errno kept).
  static XlsResult<std::unique_ptr<ReadFile>> open(const std::string& path);
  ~ReadFile() override;
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;

  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t at, std::uint8_t* dest, std::size_t n) const override;

private:
  ReadFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  std::uint64_t size_;
};

}  // namespace kestrune::xls
