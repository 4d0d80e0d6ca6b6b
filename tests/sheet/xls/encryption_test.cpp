// Workbooks encrypted with Excel's default password open, and save encrypted
// the same way; other passwords and other kinds of encryption are refused.
#include "sheet/xls/biff_crypt.h"
#include "xls_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrune::xls::testing {
namespace {

constexpr const char* Refused = "the workbook is encrypted (password protected) and cannot be opened";

bool holds(const Bytes& data, const std::string& text) {
  return std::search(data.begin(), data.end(), text.begin(), text.end()) != data.end();
}

std::string textAt(const Workbook& wb, std::uint32_t row) {
  const auto cell = wb.cell(0, row, 0);
  return cell.ok() && std::holds_alternative<std::string>(cell->value) ? std::get<std::string>(cell->value) : "?";
}

class EncryptedWorkbookTest : public ::testing::TestWithParam<BiffCipherKind> {};

TEST_P(EncryptedWorkbookTest, OpensAndSavesEncryptedUnderTheSameFilePass) {
  const Bytes file = encryptedWorkbook(GetParam());
  ASSERT_FALSE(holds(workbookStream(file), "hello"));
  auto wb = Workbook::fromBytes(file);
  ASSERT_TRUE(wb.ok()) << wb.description();
  EXPECT_EQ(textAt(*wb, 0), "hello");
  EXPECT_EQ(std::get<double>(wb->cell(0, 1, 0)->value), 2.5);
  EXPECT_EQ(textAt(*wb, 2), encryptedLongText());
  ASSERT_TRUE(wb->setCell(0, 3, 0, std::string("written")).ok());
  ASSERT_TRUE(wb->setCell(0, 4, 0, 7.25).ok());
  const auto saved = wb->toBytes();
  ASSERT_TRUE(saved.ok()) << saved.description();

  // The same FILEPASS; record bodies encrypted, but BOUNDSHEET's stream
  // position in clear: it names the sheet's BOF.
  const std::vector<Record> globals = globalRecords(saved.value());
  ASSERT_EQ(withId(globals, rid::FilePass).size(), 1u);
  EXPECT_EQ(withId(globals, rid::FilePass)[0].body, withId(globalRecords(file), rid::FilePass)[0].body);
  const Bytes stream = workbookStream(saved.value());
  EXPECT_FALSE(holds(stream, "written"));
  EXPECT_FALSE(holds(stream, "reading 1"));
  const auto sheets = withId(globals, rid::BoundSheet);
  ASSERT_EQ(sheets.size(), 1u);
  const std::uint32_t bof = getU32(sheets[0].body, 0);
  ASSERT_LT(bof + 2u, stream.size());
  EXPECT_EQ(getU16(stream, bof), rid::Bof);

  auto again = Workbook::fromBytes(saved.value());
  ASSERT_TRUE(again.ok()) << again.description();
  EXPECT_EQ(textAt(*again, 0), "hello");
  EXPECT_EQ(textAt(*again, 2), encryptedLongText());
  EXPECT_EQ(textAt(*again, 3), "written");
  EXPECT_EQ(std::get<double>(again->cell(0, 4, 0)->value), 7.25);
}

TEST_P(EncryptedWorkbookTest, AnotherPasswordIsRefusedAsBefore) {
  auto wb = Workbook::fromBytes(encryptedWorkbook(GetParam(), u"secret"));
  ASSERT_FALSE(wb.ok());
  EXPECT_EQ(wb.description(), Refused);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EncryptedWorkbookTest,
                         ::testing::Values(BiffCipherKind::Rc4, BiffCipherKind::Rc4CryptoApi),
                         [](const auto& p) { return p.param == BiffCipherKind::Rc4 ? "Rc4" : "Rc4CryptoApi"; });

TEST(BiffCipherTest, RefusesFilePassItCannotUse) {
  const std::array<std::uint8_t, 16> salt{};
  const Bytes rc4 = BiffCipher::makeFilePass(BiffCipherKind::Rc4, salt);
  const Bytes api = BiffCipher::makeFilePass(BiffCipherKind::Rc4CryptoApi, salt);
  ASSERT_TRUE(BiffCipher::open(rc4).ok());
  ASSERT_TRUE(BiffCipher::open(api).ok());
  auto changed = [](Bytes b, std::size_t at, std::uint8_t v) {
    b[at] = v;
    return b;
  };
  auto cut = [](const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); };
  struct Case {
    const char* name;
    Bytes body;
  };
  const Case cases[] = {
      {"XOR obfuscation", u16s({0, 0x1234, 0x5678})},
      {"RC4 version 1.2", changed(rc4, 4, 2)},
      {"RC4 cut", cut(rc4, rc4.size() - 1)},
      {"RC4 verifier changed", changed(rc4, 22, rc4[22] ^ 1)},
      {"CryptoAPI cut", cut(api, api.size() - 1)},
      {"CryptoAPI with AES", changed(api, 14 + 8, 0x10)},
      {"CryptoAPI header larger than the record", changed(api, 13, 0x7F)},
      {"CryptoAPI verifier hash changed", changed(api, api.size() - 1, api.back() ^ 1)},
      {"empty", Bytes{}},
  };
  for (const Case& c : cases) {
    auto cipher = BiffCipher::open(c.body);
    ASSERT_FALSE(cipher.ok()) << c.name;
    EXPECT_EQ(cipher.description(), Refused) << c.name;
  }
}

}  // namespace
}  // namespace kestrune::xls::testing
