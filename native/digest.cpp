#include "native/digest.h"

#include <nanobind/nanobind.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

#include "native/fs.h"

namespace orvane::digest {

namespace nb = nanobind;

namespace {

std::string hex_text(const unsigned char* bytes, unsigned int length) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
    return text;
}

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

class Sha256 {
  public:
    Sha256() : context_(EVP_MD_CTX_new()) {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("OpenSSL could not start a SHA-256 digest");
        }
    }

    void update(std::string_view data) {
        if (EVP_DigestUpdate(context_.get(), data.data(), data.size()) != 1) {
            throw std::runtime_error("OpenSSL SHA-256 update failed");
        }
    }

    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) {
            throw std::runtime_error("OpenSSL SHA-256 final failed");
        }
        return hex_text(digest, length);
    }

  private:
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context_;
};

constexpr std::size_t kChunkBytes = 1 << 20;

}  // namespace

std::string sha256_hex(std::string_view data) {
    Sha256 digest;
    digest.update(data);
    return digest.hex();
}

std::optional<std::string> sha256_file_hex(const std::string& path, int& error) {
    fs::ChunkReader reader;
    if (!reader.open(path)) {
        error = reader.error();
        return std::nullopt;
    }
    Sha256 digest;
    std::string chunk;
    while (true) {
        chunk.clear();
        const long count = reader.read(chunk, kChunkBytes);
        if (count < 0) {
            error = reader.error();
            return std::nullopt;
        }
        if (count == 0) return digest.hex();
        nb::gil_scoped_release release;
        digest.update(chunk);
    }
}

std::string hmac_sha256_hex(std::string_view key, std::string_view data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac,
             &length) == nullptr) {
        throw std::runtime_error("OpenSSL HMAC-SHA256 failed");
    }
    return hex_text(mac, length);
}

std::string random_bytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        throw std::runtime_error("OpenSSL could not produce random bytes");
    }
    return bytes;
}

}  // namespace orvane::digest
