// RC4 encryption of a BIFF8 Workbook stream (FILEPASS): the "standard" RC4
// with MD5 keys and RC4 CryptoAPI with SHA-1 keys. Excel encrypts a workbook
// with the password "VelvetSweatshop" when its structure is protected and no
// password to open it was set; such workbooks open and save here. A workbook
// with a password of its own is refused.
#pragma once

#include "sheet/xls/bytes.h"
#include "sheet/xls/xls_result.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrune::xls {

// The password Excel uses when none was asked for.
inline constexpr std::u16string_view DefaultWorkbookPassword = u"VelvetSweatshop";

enum class BiffCipherKind { Rc4, Rc4CryptoApi };

class BiffCipher {
public:
  // The cipher of a FILEPASS body when `password` opens it. Fails for XOR
  // obfuscation, other algorithms, a damaged FILEPASS and another password.
  static XlsResult<BiffCipher> open(ByteView filePass, std::u16string_view password = DefaultWorkbookPassword);

  // A FILEPASS body for `password` with the given salt (verifier made from
  // the salt too), for writing a new encrypted workbook. CryptoAPI keys are
  // 128 bits.
  static Bytes makeFilePass(BiffCipherKind kind, const std::array<std::uint8_t, 16>& salt,
                            std::u16string_view password = DefaultWorkbookPassword);

  BiffCipherKind kind() const { return kind_; }

  // Encrypts or decrypts (the same operation) the records of `stream` that
  // start at `from`, the position after FILEPASS: every body but those kept
  // in clear (BOF, FILEPASS, INTERFACEHDR and the shared-workbook records;
  // BOUNDSHEET's stream position). The key stream follows stream positions,
  // a new key every 1024 bytes. A record cut at the end of the stream is
  // left as it is.
  void apply(std::span<std::uint8_t> stream, std::size_t from) const;

  // The RC4 key for one 1024-byte block (5 to 16 bytes; a 40-bit CryptoAPI
  // key is padded with zeros to 16).
  struct Key {
    std::array<std::uint8_t, 16> bytes{};
    std::size_t size = 0;
  };
  Key blockKey(std::uint32_t block) const;

private:
  // The cipher `password` gives with this salt; nullopt when libcrypto fails.
  static std::optional<BiffCipher> derive(BiffCipherKind kind, ByteView salt, std::u16string_view password,
                                          std::size_t keyBits);

  BiffCipherKind kind_ = BiffCipherKind::Rc4;
  std::array<std::uint8_t, 20> hash_{};  // the password hash block keys come from
  std::size_t keyBits_ = 128;
};

}  // namespace kestrune::xls
