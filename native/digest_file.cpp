// Hashing a file's contents in chunks, with the GIL released between reads.
#include <nanobind/nanobind.h>

#include "native/digest.h"
#include "native/fs.h"

namespace orvane::digest {

namespace {

constexpr std::size_t kChunkBytes = 1 << 20;

}  // namespace

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
        nanobind::gil_scoped_release release;
        digest.update(chunk);
    }
}

}  // namespace orvane::digest
