#include "native/digest.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace orvane::digest {

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

}  // namespace

void Sha256::Deleter::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("OpenSSL could not start a SHA-256 digest");
    }
}

void Sha256::update(std::string_view data) {
    if (EVP_DigestUpdate(context_.get(), data.data(), data.size()) != 1) {
        throw std::runtime_error("OpenSSL SHA-256 update failed");
    }
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) {
        throw std::runtime_error("OpenSSL SHA-256 final failed");
    }
    return hex_text(digest, length);
}

std::string sha256_hex(std::string_view data) {
    Sha256 digest;
    digest.update(data);
    return digest.hex();
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
