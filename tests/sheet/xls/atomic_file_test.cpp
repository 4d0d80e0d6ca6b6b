// Replacing a file atomically, on real files: the mode, owner and group a
// saved file keeps, the umask's mode for a new one, a symbolic link written
// through, and a read-only file refused and left as it was.
#include "sheet/xls/atomic_file.h"

#include "sheet/xls/xls_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::xls {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct ModeCase {
  const char* name;
  std::optional<mode_t> existing;  // the file's mode before the save; nullopt: a new file
  mode_t umask;
  mode_t expected;
  bool changeOwner;  // root only: the old file belongs to someone else
};

TEST(AtomicFileTest, NewFilesFollowTheUmaskAndReplacedOnesKeepModeOwnerAndGroup) {
  const bool root = ::geteuid() == 0;
  const ModeCase cases[] = {
      {"new, umask 022", std::nullopt, 022, 0644, false}, {"new, umask 027", std::nullopt, 027, 0640, false},
      {"new, umask 002", std::nullopt, 002, 0664, false}, {"private", 0600, 022, 0600, false},
      {"group-readable", 0640, 077, 0640, false},         {"someone else's", 0604, 022, 0604, true},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.changeOwner && !root) continue;  // only root may give a file away
    TempDir dir;
    const std::string path = dir.file("book.xls");
    constexpr uid_t OtherUser = 4242;
    constexpr gid_t OtherGroup = 4343;
    if (c.existing) {
      writeText(path, "old");
      ASSERT_EQ(::chmod(path.c_str(), *c.existing), 0);
      if (c.changeOwner) {
        ASSERT_EQ(::chown(path.c_str(), OtherUser, OtherGroup), 0);
      }
    }
    const mode_t before = ::umask(c.umask);
    const XlsStatus written = writeFileAtomically(path, bytesOf("new"));
    ::umask(before);
    ASSERT_TRUE(written.ok()) << written.description();
    EXPECT_EQ(contents(path), "new");
    struct stat saved {};
    ASSERT_EQ(::stat(path.c_str(), &saved), 0);
    EXPECT_EQ(saved.st_mode & 07777, c.expected) << std::oct << (saved.st_mode & 07777);
    EXPECT_EQ(saved.st_uid, c.changeOwner ? OtherUser : ::geteuid());
    EXPECT_EQ(saved.st_gid, c.changeOwner ? OtherGroup : ::getegid());
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"book.xls"}) << "no temporary file is left";
  }
}

TEST(AtomicFileTest, ALinkIsWrittenThroughAndAReadOnlyFileIsRefused) {
  TempDir dir;
  fs::create_directories(dir.path() / "links");
  fs::create_directories(dir.path() / "data");
  const std::string target = (dir.path() / "data" / "book.xls").string();
  const std::string link = (dir.path() / "links" / "book.xls").string();
  writeText(target, "old");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  fs::create_symlink("../data/book.xls", link);
  const std::string readOnly = dir.file("read-only.xls");
  writeText(readOnly, "kept");
  ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
  fs::create_symlink("../data/none.xls", dir.path() / "links" / "dangling.xls");

  const struct {
    std::string path;
    WriteObstacle obstacle;
    std::string target;
  } checks[] = {
      {link, WriteObstacle::None, fs::canonical(target).string()},
      {target, WriteObstacle::None, target},
      {dir.file("new.xls"), WriteObstacle::None, dir.file("new.xls")},
      {readOnly, WriteObstacle::ReadOnlyFile, readOnly},
      {(dir.path() / "links" / "dangling.xls").string(), WriteObstacle::BrokenLink,
       (dir.path() / "links" / "dangling.xls").string()},
  };
  for (const auto& c : checks) {
    const WriteCheck check = checkWritable(c.path);
    EXPECT_EQ(check.obstacle, c.obstacle) << c.path;
    EXPECT_EQ(check.target, c.target) << c.path;
    EXPECT_EQ(check.folder, fs::path(c.target).parent_path().string()) << c.path;
  }

  const XlsStatus through = writeFileAtomically(link, bytesOf("new"));
  ASSERT_TRUE(through.ok()) << through.description();
  EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
  EXPECT_EQ(fs::read_symlink(link), fs::path("../data/book.xls"));
  EXPECT_EQ(contents(target), "new");
  struct stat saved {};
  ASSERT_EQ(::stat(target.c_str(), &saved), 0);
  EXPECT_EQ(saved.st_mode & 07777, 0640u);
  EXPECT_EQ(namesIn(dir.path() / "links"), (std::vector<std::string>{"book.xls", "dangling.xls"}));
  EXPECT_EQ(namesIn(dir.path() / "data"), std::vector<std::string>{"book.xls"});

  // Refused even for root, who could replace it: nothing written, nothing left.
  const XlsStatus refused = writeFileAtomically(readOnly, bytesOf("lost"));
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.description().find(std::strerror(EACCES)), std::string::npos) << refused.description();
  EXPECT_EQ(contents(readOnly), "kept");
  EXPECT_FALSE(writeFileAtomically((dir.path() / "links" / "dangling.xls").string(), bytesOf("x")).ok());
  EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"data", "links", "read-only.xls"}));

  // A folder we may not write to; root may write anywhere, so only others see it.
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod((dir.path() / "data").c_str(), 0555), 0);
    EXPECT_EQ(checkWritable(target).obstacle, WriteObstacle::ReadOnlyFolder);
    EXPECT_FALSE(writeFileAtomically(target, bytesOf("lost")).ok());
    ASSERT_EQ(::chmod((dir.path() / "data").c_str(), 0755), 0);
    EXPECT_EQ(contents(target), "new");
  }
}

}  // namespace
}  // namespace kestrune::xls
