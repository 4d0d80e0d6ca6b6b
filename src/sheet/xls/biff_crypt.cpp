// RC4 for FILEPASS workbooks. MD5 and SHA-1 come from the system's libcrypto
// (OpenSSL); its header is included here only. RC4 itself is a few lines,
// and OpenSSL 3 keeps it in its legacy provider, so it is written here.
#include "sheet/xls/biff_crypt.h"

#include "sheet/xls/records.h"

#include <openssl/evp.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <optional>

namespace kestrune::xls {

namespace {

constexpr std::size_t BlockSize = 1024;  // a new key for every 1024 bytes of the stream
constexpr std::size_t SaltSize = 16;
constexpr std::size_t VerifierSize = 16;

// FILEPASS: the encryption type, then the RC4 header whose version tells
// standard RC4 (1.1) from RC4 CryptoAPI (2.2, 3.2 or 4.2).
namespace filepass {
constexpr std::size_t TypeAt = 0;
constexpr std::uint16_t Rc4Type = 0x0001;  // 0x0000 is XOR obfuscation
constexpr std::size_t MajorAt = 2;
constexpr std::size_t MinorAt = 4;
// Standard RC4.
constexpr std::size_t SaltAt = 6;
constexpr std::size_t VerifierAt = SaltAt + SaltSize;
constexpr std::size_t VerifierHashAt = VerifierAt + VerifierSize;
constexpr std::size_t Rc4Size = VerifierHashAt + 16;
// RC4 CryptoAPI: flags, header size, header, then the verifier block.
constexpr std::size_t ApiFlagsAt = 6;
constexpr std::size_t ApiHeaderSizeAt = 10;
constexpr std::size_t ApiHeaderAt = 14;
constexpr std::uint32_t FlagCryptoApi = 0x04;
}  // namespace filepass

// The CryptoAPI encryption header's fields, from its start.
namespace apiheader {
constexpr std::size_t AlgIdAt = 8;
constexpr std::size_t AlgIdHashAt = 12;
constexpr std::size_t KeySizeAt = 16;
constexpr std::size_t ProviderTypeAt = 20;
constexpr std::size_t FixedSize = 32;  // before the provider's name
constexpr std::uint32_t AlgRc4 = 0x6801;
constexpr std::uint32_t AlgSha1 = 0x8004;
constexpr std::uint32_t ProviderRsaFull = 0x01;
constexpr std::uint32_t DefaultKeyBits = 40;  // a key size of 0
constexpr std::u16string_view ProviderName = u"Microsoft Enhanced Cryptographic Provider v1.0";
}  // namespace apiheader
constexpr std::size_t Sha1Size = 20;

// Records whose bodies stay in clear after FILEPASS.
bool keptInClear(std::uint16_t id) {
  constexpr std::uint16_t UsrExcl = 0x0194, FileLock = 0x0195, RrdInfo = 0x0196, RrdHead = 0x0138;
  return id == rid::Bof || id == rid::FilePass || id == rid::InterfaceHdr || id == UsrExcl || id == FileLock ||
         id == RrdInfo || id == RrdHead;
}

using Digest = std::array<std::uint8_t, 20>;  // MD5 uses the first 16 bytes

// The hash of the parts one after another; nullopt when libcrypto fails.
std::optional<Digest> hashOf(const EVP_MD* md, std::initializer_list<ByteView> parts) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return std::nullopt;
  for (ByteView part : parts)
    if (EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1) return std::nullopt;
  Digest out{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &size) != 1 || size > out.size()) return std::nullopt;
  return out;
}

Bytes utf16le(std::u16string_view text) {
  Bytes out;
  for (char16_t c : text) putU16(out, c);
  return out;
}

Bytes le32(std::uint32_t v) {
  Bytes out;
  putU32(out, v);
  return out;
}

class Rc4 {
public:
  explicit Rc4(std::span<const std::uint8_t> key) {
    for (std::size_t k = 0; k < s_.size(); ++k) s_[k] = static_cast<std::uint8_t>(k);
    std::uint8_t j = 0;
    for (std::size_t k = 0; k < s_.size(); ++k) {
      j = static_cast<std::uint8_t>(j + s_[k] + key[k % key.size()]);
      std::swap(s_[k], s_[j]);
    }
  }
  std::uint8_t next() {
    i_ = static_cast<std::uint8_t>(i_ + 1);
    j_ = static_cast<std::uint8_t>(j_ + s_[i_]);
    std::swap(s_[i_], s_[j_]);
    return s_[static_cast<std::uint8_t>(s_[i_] + s_[j_])];
  }

private:
  std::array<std::uint8_t, 256> s_{};
  std::uint8_t i_ = 0, j_ = 0;
};

// The key stream by stream position, moving forward only.
class KeyStream {
public:
  KeyStream(const BiffCipher& cipher, std::uint64_t pos) : cipher_(cipher), pos_(pos) {}

  std::uint8_t next() {
    if (!rc4_ || pos_ % BlockSize == 0) {
      const BiffCipher::Key key = cipher_.blockKey(static_cast<std::uint32_t>(pos_ / BlockSize));
      rc4_.emplace(std::span<const std::uint8_t>(key.bytes.data(), key.size));
      for (std::uint64_t k = 0; k < pos_ % BlockSize; ++k) rc4_->next();
    }
    ++pos_;
    return rc4_->next();
  }
  void skip(std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) next();
  }

private:
  const BiffCipher& cipher_;
  std::uint64_t pos_;
  std::optional<Rc4> rc4_;
};

// The verifier and its hash as stored: encrypted with the key of block 0,
// one key stream across both.
Bytes cryptVerifier(const BiffCipher& cipher, ByteView verifier, ByteView hash) {
  Bytes out(verifier.begin(), verifier.end());
  out.insert(out.end(), hash.begin(), hash.end());
  KeyStream keys(cipher, 0);
  for (std::uint8_t& b : out) b ^= keys.next();
  return out;
}

}  // namespace

BiffCipher::Key BiffCipher::blockKey(std::uint32_t block) const {
  Key key;
  const Bytes blockBytes = le32(block);
  if (kind_ == BiffCipherKind::Rc4) {
    const auto h = hashOf(EVP_md5(), {ByteView(hash_.data(), 5), blockBytes});
    if (h) std::copy_n(h->begin(), 16, key.bytes.begin());
    key.size = 16;
    return key;
  }
  const auto h = hashOf(EVP_sha1(), {ByteView(hash_.data(), Sha1Size), blockBytes});
  if (h) std::copy_n(h->begin(), keyBits_ / 8, key.bytes.begin());
  // A 40-bit key is used as a 128-bit key whose last 88 bits are zero.
  key.size = keyBits_ == 40 ? 16 : keyBits_ / 8;
  return key;
}

std::optional<BiffCipher> BiffCipher::derive(BiffCipherKind kind, ByteView salt, std::u16string_view password,
                                             std::size_t keyBits) {
  const Bytes pw = utf16le(password);
  BiffCipher cipher;
  cipher.kind_ = kind;
  cipher.keyBits_ = keyBits;
  if (kind == BiffCipherKind::Rc4CryptoApi) {
    const auto h0 = hashOf(EVP_sha1(), {salt, pw});
    if (!h0) return std::nullopt;
    cipher.hash_ = *h0;
    return cipher;
  }
  const auto h0 = hashOf(EVP_md5(), {pw});
  if (!h0) return std::nullopt;
  Bytes spread;  // the first 40 bits of the password's hash and the salt, 16 times
  for (int k = 0; k < 16; ++k) {
    spread.insert(spread.end(), h0->begin(), h0->begin() + 5);
    spread.insert(spread.end(), salt.begin(), salt.end());
  }
  const auto h1 = hashOf(EVP_md5(), {spread});
  if (!h1) return std::nullopt;
  cipher.hash_ = *h1;
  return cipher;
}

namespace {

// Where a FILEPASS keeps its salt, the encrypted verifier and the encrypted
// verifier hash, and the kind and key size it names; nullopt for anything
// but RC4 in a FILEPASS that holds all of it.
struct FilePassLayout {
  BiffCipherKind kind = BiffCipherKind::Rc4;
  std::size_t keyBits = 128;
  std::size_t saltAt = 0, verifierAt = 0, hashAt = 0, hashSize = 0;
};

std::optional<FilePassLayout> layoutOf(ByteView body) {
  if (body.size() < filepass::MinorAt + 2 || getU16(body, filepass::TypeAt) != filepass::Rc4Type) return std::nullopt;
  const std::uint16_t major = getU16(body, filepass::MajorAt);
  const std::uint16_t minor = getU16(body, filepass::MinorAt);
  FilePassLayout l;
  if (major == 1 && minor == 1) {
    if (body.size() < filepass::Rc4Size) return std::nullopt;
    l.saltAt = filepass::SaltAt;
    l.verifierAt = filepass::VerifierAt;
    l.hashAt = filepass::VerifierHashAt;
    l.hashSize = 16;
    return l;
  }
  if (major < 2 || major > 4 || minor != 2) return std::nullopt;
  l.kind = BiffCipherKind::Rc4CryptoApi;
  ByteReader in(body, filepass::ApiHeaderSizeAt);
  const std::uint32_t headerSize = in.u32();
  if (!in.ok() || headerSize < apiheader::FixedSize || headerSize > in.remaining()) return std::nullopt;
  const ByteView header = body.subspan(filepass::ApiHeaderAt, headerSize);
  const std::uint32_t alg = getU32(header, apiheader::AlgIdAt);
  const std::uint32_t algHash = getU32(header, apiheader::AlgIdHashAt);
  std::uint32_t keyBits = getU32(header, apiheader::KeySizeAt);
  if (keyBits == 0) keyBits = apiheader::DefaultKeyBits;
  if ((alg != 0 && alg != apiheader::AlgRc4) || (algHash != 0 && algHash != apiheader::AlgSha1) || keyBits < 40 ||
      keyBits > 128 || keyBits % 8 != 0)
    return std::nullopt;
  l.keyBits = keyBits;
  in.skip(headerSize);
  if (in.u32() != SaltSize) return std::nullopt;
  l.saltAt = in.pos();
  in.skip(SaltSize);
  l.verifierAt = in.pos();
  in.skip(VerifierSize);
  if (in.u32() != Sha1Size) return std::nullopt;
  l.hashAt = in.pos();
  l.hashSize = Sha1Size;
  in.skip(Sha1Size);
  if (!in.ok()) return std::nullopt;
  return l;
}

const EVP_MD* verifierHash(BiffCipherKind kind) { return kind == BiffCipherKind::Rc4 ? EVP_md5() : EVP_sha1(); }

}  // namespace

XlsResult<BiffCipher> BiffCipher::open(ByteView body, std::u16string_view password) {
  const XlsError refused =
      xlsFail(XlsErrorCode::Encrypted, "the workbook is encrypted (password protected) and cannot be opened");
  const auto l = layoutOf(body);
  if (!l) return refused;
  const auto cipher = derive(l->kind, body.subspan(l->saltAt, SaltSize), password, l->keyBits);
  if (!cipher) return refused;
  // The password opens the file when the verifier's hash matches.
  const Bytes plain =
      cryptVerifier(*cipher, body.subspan(l->verifierAt, VerifierSize), body.subspan(l->hashAt, l->hashSize));
  const auto expected = hashOf(verifierHash(l->kind), {ByteView(plain).first(VerifierSize)});
  if (!expected || !std::equal(plain.begin() + VerifierSize, plain.end(), expected->begin())) return refused;
  return *cipher;
}

Bytes BiffCipher::makeFilePass(BiffCipherKind kind, const std::array<std::uint8_t, 16>& salt,
                               std::u16string_view password) {
  Bytes body;
  putU16(body, filepass::Rc4Type);
  if (kind == BiffCipherKind::Rc4) {
    putU16(body, 1);
    putU16(body, 1);
    body.insert(body.end(), salt.begin(), salt.end());
    body.resize(filepass::Rc4Size);
  } else {
    putU16(body, 4);  // version 4.2, as Excel 2013 writes it
    putU16(body, 2);
    putU32(body, filepass::FlagCryptoApi);
    Bytes header;
    for (std::uint32_t v :
         {filepass::FlagCryptoApi, 0u, apiheader::AlgRc4, apiheader::AlgSha1, 128u, apiheader::ProviderRsaFull, 0u, 0u})
      putU32(header, v);
    for (char16_t c : apiheader::ProviderName) putU16(header, c);
    putU16(header, 0);
    putU32(body, static_cast<std::uint32_t>(header.size()));
    body.insert(body.end(), header.begin(), header.end());
    putU32(body, SaltSize);
    body.insert(body.end(), salt.begin(), salt.end());
    body.resize(body.size() + VerifierSize);
    putU32(body, Sha1Size);
    body.resize(body.size() + Sha1Size);
  }
  // The verifier (made from the salt) and its hash, stored encrypted.
  const auto l = layoutOf(body);
  const auto cipher = derive(kind, ByteView(salt.data(), salt.size()), password, 128);
  const auto verifier = hashOf(EVP_md5(), {ByteView(salt.data(), salt.size())});
  if (!l || !cipher || !verifier) return body;
  const ByteView verifierView(verifier->data(), VerifierSize);
  const auto hash = hashOf(verifierHash(kind), {verifierView});
  if (!hash) return body;
  const Bytes stored = cryptVerifier(*cipher, verifierView, ByteView(hash->data(), l->hashSize));
  std::copy_n(stored.begin(), VerifierSize, body.begin() + static_cast<std::ptrdiff_t>(l->verifierAt));
  std::copy(stored.begin() + VerifierSize, stored.end(), body.begin() + static_cast<std::ptrdiff_t>(l->hashAt));
  return body;
}

void BiffCipher::apply(std::span<std::uint8_t> stream, std::size_t from) const {
  KeyStream keys(*this, from);
  std::size_t pos = from;
  while (pos <= stream.size() && stream.size() - pos >= RecordHeaderSize) {
    const std::uint16_t id = getU16(stream, pos);
    const std::uint16_t size = getU16(stream, pos + 2);
    if (size > stream.size() - pos - RecordHeaderSize) break;
    const std::size_t clear = keptInClear(id) ? size : id == rid::BoundSheet ? std::min<std::size_t>(4, size) : 0;
    keys.skip(RecordHeaderSize + clear);
    for (std::size_t k = pos + RecordHeaderSize + clear; k < pos + RecordHeaderSize + size; ++k)
      stream[k] ^= keys.next();
    pos += RecordHeaderSize + size;
  }
}

}  // namespace kestrune::xls
