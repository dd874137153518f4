#include "fingerprint.h"

#include <utility>

namespace orvane::provenance {

std::string fingerprint_payload(const FingerprintInputs& inputs) {
    // The members in the order canonical JSON sorts them.
    const std::pair<const char*, const std::string*> members[] = {
        {"case", &inputs.case_json},
        {"geometry", &inputs.geometry},
        {"image", &inputs.image},
        {"mesh_cache", &inputs.mesh_cache},
        {"parameters", &inputs.parameters},
        {"solver_cert", &inputs.solver_cert},
        {"solver_version", &inputs.solver_version},
    };
    std::string payload = "{";
    for (const auto& [key, value] : members) {
        if (payload.size() > 1) payload += ',';
        payload.append(1, '"').append(key).append("\":").append(*value);
    }
    payload += '}';
    return payload;
}

}  // namespace orvane::provenance
