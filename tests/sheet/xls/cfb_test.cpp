#include "xls_test_support.h"

#include "sheet/xls/cfb_internal.h"

#include <gtest/gtest.h>

namespace kestrune::xls {
namespace {

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return b;
}

CfbEntry stream(std::u16string name, Bytes data) {
  CfbEntry e;
  e.name = std::move(name);
  e.data = std::move(data);
  return e;
}

// A tree with small and large streams, an empty stream and a storage with children.
CompoundFile sampleTree() {
  CompoundFile cf;
  cf.root().clsid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  cf.root().children.push_back(stream(u"Workbook", pattern(10000, 1)));
  cf.root().children.push_back(stream(u"\u0005SummaryInformation", pattern(300, 2)));
  cf.root().children.push_back(stream(u"Empty", {}));
  cf.root().children.push_back(stream(u"Exactly4096", pattern(4096, 3)));
  cf.root().children.push_back(stream(u"Just4095", pattern(4095, 4)));
  CfbEntry storage;
  storage.name = u"_VBA_PROJECT_CUR";
  storage.type = CfbType::Storage;
  storage.stateBits = 0x12345678;
  storage.timestamps = {9, 9, 9, 9, 9, 9, 9, 1, 2, 2, 2, 2, 2, 2, 2, 1};
  storage.clsid[0] = 0xAB;
  storage.children.push_back(stream(u"PROJECT", pattern(65, 5)));
  CfbEntry inner;
  inner.name = u"VBA";
  inner.type = CfbType::Storage;
  inner.children.push_back(stream(u"dir", pattern(5000, 6)));
  storage.children.push_back(std::move(inner));
  cf.root().children.push_back(std::move(storage));
  return cf;
}

void expectSameTree(const CfbEntry& a, const CfbEntry& b) {
  EXPECT_TRUE(a.name == b.name);
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.clsid, b.clsid);
  EXPECT_EQ(a.stateBits, b.stateBits);
  EXPECT_EQ(a.timestamps, b.timestamps);
  EXPECT_EQ(a.data, b.data);
  ASSERT_EQ(a.children.size(), b.children.size());
  for (const CfbEntry& child : a.children) {
    const CfbEntry* other = b.child(child.name);
    ASSERT_NE(other, nullptr);
    expectSameTree(child, *other);
  }
}

TEST(CompoundFileTest, RoundTripKeepsStreamsStoragesAndMetadata) {
  const CompoundFile original = sampleTree();
  auto bytes = original.serialize();
  ASSERT_TRUE(bytes.ok()) << bytes.description();
  EXPECT_EQ(bytes->size() % 512, 0u);
  auto parsed = CompoundFile::parse(bytes.value());
  ASSERT_TRUE(parsed.ok()) << parsed.description();
  expectSameTree(original.root(), parsed->root());
  // Writing what was read gives the same bytes: nothing drifts on re-save.
  auto again = parsed->serialize();
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value(), bytes.value());
}

// The header of the sample tree, field by field at its offset. The tree has
// ten entries (three directory sectors), 71 mini sectors (one MiniFAT
// sector, nine sectors of mini stream) and 38 sectors of large streams: one
// FAT sector is enough, and the parts follow it in that order.
TEST(CompoundFileTest, HeaderFieldsOfAWrittenFile) {
  auto bytes = sampleTree().serialize();
  ASSERT_TRUE(bytes.ok());
  const Bytes& f = bytes.value();
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 8), (Bytes{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}));
  struct Field {
    const char* name;
    std::size_t at;
    std::size_t width;
    std::uint32_t value;
  };
  const Field fields[] = {
      {"minor version", 0x18, 2, 0x003E},
      {"major version", 0x1A, 2, 3},
      {"byte order", 0x1C, 2, 0xFFFE},
      {"sector shift", 0x1E, 2, 9},
      {"mini sector shift", 0x20, 2, 6},
      {"directory sector count (none in version 3)", 0x28, 4, 0},
      {"FAT sector count", 0x2C, 4, 1},
      {"first directory sector", 0x30, 4, 1},
      {"mini stream cutoff", 0x38, 4, 4096},
      {"first MiniFAT sector", 0x3C, 4, 4},
      {"MiniFAT sector count", 0x40, 4, 1},
      {"first DIFAT sector", 0x44, 4, cfbconst::EndOfChain},
      {"DIFAT sector count", 0x48, 4, 0},
      {"first FAT sector", 0x4C, 4, 0},
      {"second FAT sector", 0x50, 4, cfbconst::FreeSect},
      {"last FAT sector slot", 0x4C + 4 * 108, 4, cfbconst::FreeSect},
  };
  for (const Field& field : fields) {
    const std::uint32_t got = field.width == 2 ? getU16(f, field.at) : getU32(f, field.at);
    EXPECT_EQ(got, field.value) << field.name;
  }
  // The root's entry: the mini stream starts after FAT, directory and MiniFAT.
  const std::size_t root = 512 * 2;
  EXPECT_EQ(f[root + 0x42], 5);
  EXPECT_EQ(getU32(f, root + 0x74), 5u);
  EXPECT_EQ(getU32(f, root + 0x78), 71u * 64);
  EXPECT_EQ(f.size(), 512u * (1 + 1 + 3 + 1 + 9 + 38));
}

TEST(CompoundFileTest, SmallStreamsLiveInTheMiniStream) {
  auto bytes = sampleTree().serialize();
  ASSERT_TRUE(bytes.ok());
  const Bytes& f = bytes.value();
  EXPECT_NE(getU32(f, 0x3C), cfbconst::EndOfChain);  // a MiniFAT exists
  EXPECT_GT(getU32(f, 0x40), 0u);
  // Directory entry of the root: its size is the mini stream, a multiple of 64.
  const std::size_t dir = (getU32(f, 0x30) + 1) * 512;
  EXPECT_EQ(getU32(f, dir + 0x78) % 64, 0u);
  EXPECT_GE(getU32(f, dir + 0x78), 300u + 64 + 4095 + 64);
}

// Each sibling tree must be a binary search tree by (length, upper-cased
// name) with equal black counts on every path and no red-red edges.
int checkTree(const Bytes& f, std::uint32_t id, const std::u16string* lo, const std::u16string* hi,
              std::vector<std::u16string>& names, bool parentRed) {
  if (id == cfbconst::NoStream) return 1;
  const std::size_t at = (getU32(f, 0x30) + 1) * 512 + id * 128;  // directory is contiguous here
  const std::u16string& name = names[id];
  if (lo) {
    EXPECT_LT(compareCfbNames(*lo, name), 0);
  }
  if (hi) {
    EXPECT_GT(compareCfbNames(*hi, name), 0);
  }
  const bool red = f[at + 0x43] == 0;
  EXPECT_FALSE(red && parentRed);
  const int left = checkTree(f, getU32(f, at + 0x44), lo, &name, names, red);
  const int right = checkTree(f, getU32(f, at + 0x48), &name, hi, names, red);
  EXPECT_EQ(left, right);
  const std::uint32_t child = getU32(f, at + 0x4C);
  if (child != cfbconst::NoStream) checkTree(f, child, nullptr, nullptr, names, false);
  return left + (red ? 0 : 1);
}

TEST(CompoundFileTest, SiblingTreesAreValidRedBlackTrees) {
  CompoundFile cf;
  for (int i = 0; i < 23; ++i)  // 23 siblings: the bottom level is partly filled
    cf.root().children.push_back(stream(
        u"s" + std::u16string(static_cast<std::size_t>(i % 5 + 1), u'a' + i % 26) + static_cast<char16_t>(u'A' + i),
        pattern(10, static_cast<std::uint8_t>(i))));
  auto bytes = cf.serialize();
  ASSERT_TRUE(bytes.ok());
  const Bytes& f = bytes.value();
  const std::size_t dir = (getU32(f, 0x30) + 1) * 512;
  std::vector<std::u16string> names;
  for (std::size_t e = 0; e < 24; ++e) {
    std::u16string n;
    for (std::size_t k = 0; k < 31; ++k) {
      const char16_t c = getU16(f, dir + e * 128 + 2 * k);
      if (!c) break;
      n += c;
    }
    names.push_back(n);
  }
  EXPECT_EQ(f[dir + 0x43], 1);  // root black
  checkTree(f, getU32(f, dir + 0x4C), nullptr, nullptr, names, false);
}

TEST(CompoundFileTest, NamesOrderByLengthThenUpperCase) {
  struct Case {
    std::u16string a, b;
    int sign;
  };
  const Case cases[] = {{u"B", u"AA", -1},
                        {u"abc", u"ABD", -1},
                        {u"Workbook", u"WORKBOOK", 0},
                        {u"\u00e9", u"\u00c9", 0},
                        {u"Z", u"a", 1}};
  for (const Case& c : cases) {
    const int r = compareCfbNames(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign);
  }
}

TEST(CompoundFileTest, DifatBeyondTheHeaderRoundTrips) {
  // 110 FAT sectors cover 110 * 128 sectors of 512 bytes: a stream of
  // about 7.2 MB needs DIFAT sectors beyond the 109 header slots.
  CompoundFile cf;
  cf.root().children.push_back(stream(u"Big", pattern(7300000, 11)));
  auto bytes = cf.serialize();
  ASSERT_TRUE(bytes.ok());
  EXPECT_GT(getU32(bytes.value(), 0x2C), 109u);
  EXPECT_GE(getU32(bytes.value(), 0x48), 1u);
  auto parsed = CompoundFile::parse(bytes.value());
  ASSERT_TRUE(parsed.ok()) << parsed.description();
  ASSERT_NE(parsed->root().child(u"Big"), nullptr);
  EXPECT_EQ(parsed->root().child(u"Big")->data, cf.root().children[0].data);
}

// A version 4 file (4096-byte sectors) built by hand: header, one FAT
// sector, one directory sector, one stream sector.
TEST(CompoundFileTest, ReadsVersion4Files) {
  const std::size_t s = 4096;
  Bytes f(4 * s, 0);
  const std::uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy_n(sig, 8, f.begin());
  setU16(f, 0x18, 0x3E);
  setU16(f, 0x1A, 4);
  setU16(f, 0x1C, 0xFFFE);
  setU16(f, 0x1E, 12);
  setU16(f, 0x20, 6);
  setU32(f, 0x2C, 1);
  setU32(f, 0x30, 1);
  setU32(f, 0x38, 4096);
  setU32(f, 0x3C, cfbconst::EndOfChain);
  setU32(f, 0x44, cfbconst::EndOfChain);
  setU32(f, 0x4C, 0);
  for (std::size_t i = 1; i < 109; ++i) setU32(f, 0x4C + 4 * i, cfbconst::FreeSect);
  // FAT in sector 0.
  for (std::size_t i = 0; i < 1024; ++i) setU32(f, s + 4 * i, cfbconst::FreeSect);
  setU32(f, s + 0, cfbconst::FatSect);
  setU32(f, s + 4, cfbconst::EndOfChain);
  setU32(f, s + 8, cfbconst::EndOfChain);
  // Directory in sector 1: root and a 4096-byte stream in sector 2.
  const std::size_t dir = 2 * s;
  auto entry = [&](std::size_t i, std::u16string_view name, std::uint8_t type, std::uint32_t child, std::uint32_t start,
                   std::uint32_t size) {
    const std::size_t at = dir + i * 128;
    for (std::size_t k = 0; k < name.size(); ++k) setU16(f, at + 2 * k, name[k]);
    setU16(f, at + 0x40, static_cast<std::uint16_t>(2 * (name.size() + 1)));
    f[at + 0x42] = type;
    f[at + 0x43] = 1;
    setU32(f, at + 0x44, cfbconst::NoStream);
    setU32(f, at + 0x48, cfbconst::NoStream);
    setU32(f, at + 0x4C, child);
    setU32(f, at + 0x74, start);
    setU32(f, at + 0x78, size);
  };
  entry(0, u"Root Entry", 5, 1, cfbconst::EndOfChain, 0);
  entry(1, u"Data", 2, cfbconst::NoStream, 2, 4096);
  for (std::size_t i = 2; i < 32; ++i) {
    setU32(f, dir + i * 128 + 0x44, cfbconst::NoStream);
    setU32(f, dir + i * 128 + 0x48, cfbconst::NoStream);
    setU32(f, dir + i * 128 + 0x4C, cfbconst::NoStream);
  }
  for (std::size_t i = 0; i < s; ++i) f[3 * s + i] = static_cast<std::uint8_t>(i * 3);
  auto parsed = CompoundFile::parse(f);
  ASSERT_TRUE(parsed.ok()) << parsed.description();
  EXPECT_EQ(parsed->majorVersion(), 4);
  const CfbEntry* data = parsed->root().child(u"data");
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(data->data.size(), 4096u);
  EXPECT_EQ(data->data[1000], static_cast<std::uint8_t>(3000));
}

// A stream written in place by a function gives the same file as the same
// bytes held in the tree, whether it is large or goes to the mini stream.
TEST(CompoundFileTest, FilledStreamWritesTheSameFileAsItsDataInTheTree) {
  for (const std::size_t size : {std::size_t{10000}, std::size_t{300}, std::size_t{0}}) {
    CompoundFile tree = sampleTree();
    const Bytes data = pattern(size, 42);
    CompoundFile withoutData = tree;
    withoutData.root().child(u"Workbook")->data.clear();
    tree.root().child(u"Workbook")->data = data;
    auto expected = tree.serialize();
    ASSERT_TRUE(expected.ok());
    std::size_t calls = 0;
    auto filled = withoutData.serialize(u"WORKBOOK", size, [&](ByteSink& out) {
      ++calls;
      return out.write(data);
    });
    ASSERT_TRUE(filled.ok()) << filled.description();
    EXPECT_EQ(filled.value(), expected.value()) << size;
    EXPECT_EQ(calls, size == 0 ? 0u : 1u);
  }
}

TEST(CompoundFileTest, FilledStreamFailsWithoutTheStreamOrWhenTheFillFails) {
  const CompoundFile tree = sampleTree();
  const Bytes data(10001, 1);
  auto fill = [&](ByteSink& out) { return out.write(ByteView(data).first(5000)); };
  // Only a stream directly under the root counts; "dir" sits in a storage.
  EXPECT_FALSE(tree.serialize(u"dir", 5000, fill).ok());
  EXPECT_FALSE(tree.serialize(u"_VBA_PROJECT_CUR", 5000, fill).ok());
  for (const std::size_t size : {std::size_t{10000}, std::size_t{100}}) {
    EXPECT_FALSE(tree.serialize(u"Workbook", size, [](ByteSink&) { return false; }).ok()) << size;
    // A fill that writes another size than it announced is refused too.
    EXPECT_FALSE(
        tree.serialize(u"Workbook", size + 1, [&](ByteSink& out) { return out.write(ByteView(data).first(size)); })
            .ok())
        << size;
  }
}

}  // namespace
}  // namespace kestrune::xls
