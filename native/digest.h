// SHA-256 digests from OpenSSL's libcrypto, as lowercase hex. Only
// sha256_file_hex (digest_file.cpp) needs the interpreter; the rest is plain
// C++ that the solver drivers link too.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace orvane::digest {

// A SHA-256 digest fed in pieces.
class Sha256 {
  public:
    Sha256();
    void update(std::string_view data);
    // The digest of everything fed, as lowercase hex; the object is spent.
    std::string hex();

  private:
    struct Deleter {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Deleter> context_;
};

// The digest of `data`. Call without the GIL for large inputs: it touches no
// Python object.
std::string sha256_hex(std::string_view data);

// The digest of a file's whole contents, read in chunks with the GIL released
// (memory stays flat whatever the size). Nothing, with `error` set to the
// errno, when the file cannot be opened or read.
std::optional<std::string> sha256_file_hex(const std::string& path, int& error);

// HMAC-SHA256 of `data` under `key`, as lowercase hex.
std::string hmac_sha256_hex(std::string_view key, std::string_view data);

// `count` bytes from OpenSSL's cryptographically secure generator.
std::string random_bytes(std::size_t count);

}  // namespace orvane::digest
