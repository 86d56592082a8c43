#include "pdf/pdf_crypt.h"

#include <openssl/evp.h>

#include <array>
#include <cstring>

#include "pdf/pdf_filters.h"

namespace strellbox {

namespace {

// What a password shorter than 32 bytes is filled up with.
constexpr std::array<uint8_t, 32> kPadding = {
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E, 0x56, 0xFF, 0xFA, 0x01, 0x08,
    0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68, 0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes Digest(const EVP_MD* md, const Bytes& in) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  EVP_Digest(in.data(), in.size(), out.data(), &size, md, nullptr);
  out.resize(size);
  return out;
}

// AES in CBC mode without padding over whole blocks; false on a library
// failure.
bool AesCbc(bool encrypt, const uint8_t* key, size_t keyBytes, const uint8_t* iv, const uint8_t* in,
            size_t length, uint8_t* out) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return false;
  const EVP_CIPHER* cipher = keyBytes == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
  int written = 0, last = 0;
  bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(length)) == 1 &&
            EVP_CipherFinal_ex(ctx, out + written, &last) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

// AES-CBC with the vector in the first block and PKCS#7 padding at the
// end. Data that is not whole blocks is cut to whole blocks; padding that
// does not read as such is left on.
std::string AesDecrypt(const Bytes& key, std::string_view data) {
  if (data.size() < 32) return {};
  const size_t length = (data.size() - 16) / 16 * 16;
  std::string out(length, '\0');
  const auto* in = reinterpret_cast<const uint8_t*>(data.data());
  if (!AesCbc(false, key.data(), key.size(), in, in + 16, length,
              reinterpret_cast<uint8_t*>(out.data())))
    return {};
  const uint8_t pad = static_cast<uint8_t>(out.back());
  if (pad >= 1 && pad <= 16) {
    bool padded = true;
    for (size_t i = 0; i < pad; ++i)
      padded = padded && static_cast<uint8_t>(out[length - 1 - i]) == pad;
    if (padded) out.resize(length - pad);
  }
  return out;
}

// The hash of revision 6: SHA-256, then rounds of AES-128 and a SHA-2
// chosen by the data, at least 64 of them.
Bytes Revision6Hash(const Bytes& password, const Bytes& salt, const Bytes& userKey) {
  Bytes k = password;
  k.insert(k.end(), salt.begin(), salt.end());
  k.insert(k.end(), userKey.begin(), userKey.end());
  k = Digest(EVP_sha256(), k);
  Bytes e;
  // The loop ends by round 64 + 255 - 32 at the latest: the last byte of
  // the data is at most 255.
  for (int round = 0;;) {
    Bytes block = password;
    block.insert(block.end(), k.begin(), k.end());
    block.insert(block.end(), userKey.begin(), userKey.end());
    Bytes k1;
    k1.reserve(block.size() * 64);
    for (int i = 0; i < 64; ++i) k1.insert(k1.end(), block.begin(), block.end());
    e.assign(k1.size(), 0);
    if (!AesCbc(true, k.data(), 16, k.data() + 16, k1.data(), k1.size(), e.data())) return {};
    unsigned sum = 0;
    for (int i = 0; i < 16; ++i) sum += e[i];
    const EVP_MD* md = sum % 3 == 0 ? EVP_sha256() : sum % 3 == 1 ? EVP_sha384() : EVP_sha512();
    k = Digest(md, e);
    ++round;
    if (round >= 64 && e.back() <= round - 32) break;
  }
  k.resize(32);
  return k;
}

int32_t IntValue(const PDFDictionary& d, const char* key, int32_t fallback) {
  PDFObjectPtr v = PDFResolve(d.objectForKey(key));
  return dynamic_cast<const PDFInteger*>(v.get()) ? v->intValue() : fallback;
}

std::string StringValue(const PDFDictionary& d, const char* key) {
  auto s = std::dynamic_pointer_cast<PDFString>(PDFResolve(d.objectForKey(key)));
  return s ? PDFStringBytes(s->string()) : std::string();
}

std::string NameValue(const PDFDictionary& d, const char* key) {
  auto n = std::dynamic_pointer_cast<PDFName>(PDFResolve(d.objectForKey(key)));
  return n ? n->name() : std::string();
}

}  // namespace

void PDFRC4(const std::vector<uint8_t>& key, uint8_t* bytes, uint64_t length) {
  if (key.empty()) return;
  std::array<uint8_t, 256> s;
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s[i] + key[i % key.size()]);
    std::swap(s[i], s[j]);
  }
  uint8_t a = 0, b = 0;
  for (uint64_t k = 0; k < length; ++k) {
    a = static_cast<uint8_t>(a + 1);
    b = static_cast<uint8_t>(b + s[a]);
    std::swap(s[a], s[b]);
    bytes[k] ^= s[static_cast<uint8_t>(s[a] + s[b])];
  }
}

std::shared_ptr<PDFStandardSecurity> PDFStandardSecurity::open(const PDFDictionary& encrypt,
                                                               std::string_view firstID,
                                                               Outcome& outcome) {
  outcome = Outcome::kUnsupported;
  if (NameValue(encrypt, "/Filter") != "/Standard") return nullptr;
  auto security = std::make_shared<PDFStandardSecurity>();
  const int32_t v = IntValue(encrypt, "/V", 0);
  const int32_t r = IntValue(encrypt, "/R", 0);
  auto metadata =
      std::dynamic_pointer_cast<PDFBool>(PDFResolve(encrypt.objectForKey("/EncryptMetadata")));
  security->encryptMetadata_ = !metadata || metadata->boolValue();

  // The method of each kind of data: one for all before V 4, a crypt
  // filter each for streams and strings from V 4 on.
  size_t keyBytes = 5;
  if (v == 1 || v == 2) {
    security->streams_ = security->strings_ = Method::kRC4;
    if (v == 2) keyBytes = static_cast<size_t>(IntValue(encrypt, "/Length", 40)) / 8;
  } else if (v == 4 || v == 5) {
    keyBytes = v == 4 ? 16 : 32;
    auto filters =
        std::dynamic_pointer_cast<PDFDictionary>(PDFResolve(encrypt.objectForKey("/CF")));
    auto method = [&](const char* key) {
      const std::string name = NameValue(encrypt, key);
      if (name.empty() || name == "/Identity") return Method::kNone;
      auto filter =
          filters
              ? std::dynamic_pointer_cast<PDFDictionary>(PDFResolve(filters->objectForKey(name)))
              : nullptr;
      const std::string cfm = filter ? NameValue(*filter, "/CFM") : std::string();
      if (cfm == "/V2") return Method::kRC4;
      if (cfm == "/AESV2") return Method::kAESV2;
      if (cfm == "/AESV3") return Method::kAESV3;
      if (cfm == "/None") return Method::kNone;
      return Method::kUnknown;
    };
    security->streams_ = method("/StmF");
    security->strings_ = method("/StrF");
    if (security->streams_ == Method::kUnknown || security->strings_ == Method::kUnknown)
      return nullptr;
  } else {
    return nullptr;
  }
  if (keyBytes < 5 || keyBytes > 32) return nullptr;

  const Bytes o = ToBytes(StringValue(encrypt, "/O"));
  const Bytes u = ToBytes(StringValue(encrypt, "/U"));
  if (r == 5 || r == 6) {
    // The user password is empty: a hash of the salts alone.
    const Bytes ue = ToBytes(StringValue(encrypt, "/UE"));
    if (u.size() < 48 || ue.size() < 32) return nullptr;
    const Bytes validation(u.begin() + 32, u.begin() + 40);
    const Bytes keySalt(u.begin() + 40, u.begin() + 48);
    const Bytes check =
        r == 5 ? Digest(EVP_sha256(), validation) : Revision6Hash({}, validation, {});
    if (check.size() != 32 || std::memcmp(check.data(), u.data(), 32) != 0) {
      outcome = Outcome::kNeedsPassword;
      return nullptr;
    }
    const Bytes intermediate =
        r == 5 ? Digest(EVP_sha256(), keySalt) : Revision6Hash({}, keySalt, {});
    if (intermediate.size() != 32) return nullptr;
    const uint8_t zero[16] = {};
    security->key_.assign(32, 0);
    if (!AesCbc(false, intermediate.data(), 32, zero, ue.data(), 32, security->key_.data()))
      return nullptr;
    outcome = Outcome::kOpened;
    return security;
  }
  if (r < 2 || r > 4 || o.size() < 32 || u.size() < 32) return nullptr;
  if (r == 2) keyBytes = 5;

  // The file key: MD5 over the padded (empty) password, /O, /P, the first
  // /ID and, for unencrypted metadata, four 0xFF bytes; hashed 50 times
  // more from revision 3 on.
  Bytes in(kPadding.begin(), kPadding.end());
  in.insert(in.end(), o.begin(), o.begin() + 32);
  const auto p = static_cast<uint32_t>(IntValue(encrypt, "/P", 0));
  for (int i = 0; i < 4; ++i) in.push_back(static_cast<uint8_t>(p >> (8 * i)));
  in.insert(in.end(), firstID.begin(), firstID.end());
  if (r >= 4 && !security->encryptMetadata_) in.insert(in.end(), 4, 0xFF);
  Bytes hash = Digest(EVP_md5(), in);
  if (r >= 3) {
    for (int i = 0; i < 50; ++i)
      hash = Digest(EVP_md5(), Bytes(hash.begin(), hash.begin() + keyBytes));
  }
  Bytes key(hash.begin(), hash.begin() + keyBytes);

  // The key is right when it turns the padding (revision 2), or the MD5
  // of the padding and the /ID (revision 3 on), into /U.
  bool opens;
  if (r == 2) {
    Bytes check(kPadding.begin(), kPadding.end());
    PDFRC4(key, check.data(), check.size());
    opens = std::memcmp(check.data(), u.data(), 32) == 0;
  } else {
    Bytes seed(kPadding.begin(), kPadding.end());
    seed.insert(seed.end(), firstID.begin(), firstID.end());
    Bytes check = Digest(EVP_md5(), seed);
    for (int i = 0; i < 20; ++i) {
      Bytes round = key;
      for (auto& b : round) b = static_cast<uint8_t>(b ^ i);
      PDFRC4(round, check.data(), check.size());
    }
    opens = std::memcmp(check.data(), u.data(), 16) == 0;
  }
  if (!opens) {
    outcome = Outcome::kNeedsPassword;
    return nullptr;
  }
  security->key_ = std::move(key);
  outcome = Outcome::kOpened;
  return security;
}

std::vector<uint8_t> PDFStandardSecurity::objectKey(uint32_t objectID, uint32_t generation,
                                                    Method method) const {
  if (method == Method::kAESV3) return key_;
  Bytes in = key_;
  for (int i = 0; i < 3; ++i) in.push_back(static_cast<uint8_t>(objectID >> (8 * i)));
  for (int i = 0; i < 2; ++i) in.push_back(static_cast<uint8_t>(generation >> (8 * i)));
  if (method == Method::kAESV2) in.insert(in.end(), {'s', 'A', 'l', 'T'});
  Bytes hash = Digest(EVP_md5(), in);
  hash.resize(std::min<size_t>(key_.size() + 5, 16));
  return hash;
}

std::string PDFStandardSecurity::decrypt(Method method, std::string_view bytes, uint32_t objectID,
                                         uint32_t generation) const {
  if (method == Method::kNone) return std::string(bytes);
  const Bytes key = objectKey(objectID, generation, method);
  if (method == Method::kRC4) {
    std::string out(bytes);
    PDFRC4(key, reinterpret_cast<uint8_t*>(out.data()), out.size());
    return out;
  }
  return AesDecrypt(key, bytes);
}

std::string PDFStandardSecurity::decryptString(std::string_view bytes, uint32_t objectID,
                                               uint32_t generation) const {
  return decrypt(strings_, bytes, objectID, generation);
}

Buffer PDFStandardSecurity::decryptStream(const Buffer& data, uint32_t objectID,
                                          uint32_t generation) const {
  if (streams_ == Method::kNone) return data;
  return Buffer::fromString(decrypt(streams_, data.view(), objectID, generation));
}

}  // namespace strellbox
