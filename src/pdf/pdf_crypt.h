// The standard security handler of PDF encryption, opened with the empty
// user password (what a viewer tries before asking for one): RC4 with keys
// of 40 to 128 bits (revisions 2 to 4), AES-128 (crypt filter AESV2) and
// AES-256 (AESV3, revisions 5 and 6). MD5, SHA-2 and AES come from
// OpenSSL's EVP interfaces; RC4, which OpenSSL 3 keeps in its legacy
// provider only, is done here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "pdf/pdf_object.h"

namespace strellbox {

// RC4 over the bytes, in place.
void PDFRC4(const std::vector<uint8_t>& key, uint8_t* bytes, uint64_t length);

class PDFStandardSecurity : public PDFStreamCipher {
 public:
  enum class Outcome {
    kOpened,         // the empty user password opens it
    kNeedsPassword,  // a user password is set
    kUnsupported,    // another handler, or a revision or method not known here
  };
  enum class Method : uint8_t { kNone, kRC4, kAESV2, kAESV3, kUnknown };

  // Reads the /Encrypt dictionary with the first string of the trailer's
  // /ID (its bytes).
  static std::shared_ptr<PDFStandardSecurity> open(const PDFDictionary& encrypt,
                                                   std::string_view firstID, Outcome& outcome);

  std::string decryptString(std::string_view bytes, uint32_t objectID, uint32_t generation) const;
  Buffer decryptStream(const Buffer& data, uint32_t objectID, uint32_t generation) const override;
  Method streamMethod() const { return streams_; }
  Method stringMethod() const { return strings_; }
  bool encryptsMetadata() const { return encryptMetadata_; }

 private:
  std::vector<uint8_t> objectKey(uint32_t objectID, uint32_t generation, Method method) const;
  std::string decrypt(Method method, std::string_view bytes, uint32_t objectID,
                      uint32_t generation) const;

  std::vector<uint8_t> key_;
  Method streams_ = Method::kNone;
  Method strings_ = Method::kNone;
  bool encryptMetadata_ = true;
};

}  // namespace strellbox
