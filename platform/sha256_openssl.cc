#include "platform/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace mirelo {

void Sha256::Free::operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is unavailable");
  }
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t size) {
  if (size != 0 && EVP_DigestUpdate(context_.get(), data, size) != 1) throw std::runtime_error("SHA-256 failed");
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != digest.size()) {
    throw std::runtime_error("SHA-256 failed");
  }
  return digest;
}

Sha256Digest Sha256::of(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finish();
}

std::string lowerHex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace mirelo
