// SHA-256 digests from OpenSSL's libcrypto, as lowercase hex.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvane::digest {

// The digest of `data`. Call without the GIL for large inputs: it touches no
// Python object.
std::string sha256_hex(std::string_view data);

// The digest of a file's whole contents, read in chunks with the GIL released
// (memory stays flat whatever the size). Nothing, with `error` set to the
// errno, when the file cannot be opened or read.
std::optional<std::string> sha256_file_hex(const std::string& path, int& error);

}  // namespace orvane::digest
