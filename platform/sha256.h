#pragma once

// SHA-256 through OpenSSL's EVP interface, and the lower-case hexadecimal form of digests.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace mirelo {

using Sha256Digest = std::array<unsigned char, 32>;

// An incremental SHA-256. Not copyable; finish() may be called once.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  Sha256Digest finish();

  static Sha256Digest of(std::string_view bytes);

 private:
  struct Free {
    void operator()(EVP_MD_CTX* context) const noexcept;
  };
  std::unique_ptr<EVP_MD_CTX, Free> context_;
};

// Two lower-case hexadecimal digits per byte, in order, without separators.
std::string lowerHex(const unsigned char* bytes, size_t size);
template <size_t N>
std::string lowerHex(const std::array<unsigned char, N>& bytes) {
  return lowerHex(bytes.data(), N);
}

}  // namespace mirelo
