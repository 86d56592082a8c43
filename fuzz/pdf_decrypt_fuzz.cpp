// Decryption: the input's first line is the /Encrypt dictionary, its
// second the first /ID string, the rest data that is decrypted as a string
// and as a stream of a few objects under whatever the dictionary opens.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/buffer.h"
#include "engine/log.h"
#include "pdf/pdf_crypt.h"
#include "pdf/pdf_filters.h"
#include "pdf/pdf_object.h"

using namespace strellbox;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const bool quiet = (SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  const std::string input(reinterpret_cast<const char*>(bytes), size);
  const size_t line = input.find('\n');
  const size_t second = line == std::string::npos ? std::string::npos : input.find('\n', line + 1);
  auto dictionary =
      std::dynamic_pointer_cast<PDFDictionary>(PDFObject::objectWithString(input.substr(0, line)));
  if (!dictionary) return 0;
  const std::string id = line == std::string::npos
                             ? std::string()
                             : PDFStringBytes(input.substr(line + 1, second - line - 1));
  const std::string data = second == std::string::npos ? std::string() : input.substr(second + 1);
  auto outcome = PDFStandardSecurity::Outcome::kUnsupported;
  auto security = PDFStandardSecurity::open(*dictionary, id, outcome);
  if (!security) return 0;
  for (uint32_t object : {1u, 7u, 0xFFFFFFu}) {
    const std::string plain = security->decryptString(data, object, 0);
    if (plain.size() > data.size()) __builtin_trap();
    const Buffer stream = security->decryptStream(Buffer::fromString(data), object, 65535);
    if (stream.size() > data.size()) __builtin_trap();
  }
  return 0;
}
