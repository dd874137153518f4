// What a run fingerprint hashes. Plain C++: the inputs arrive as the canonical
// JSON texts of their values.
#pragma once

#include <string>

namespace orvane::provenance {

// The inputs of one run, each as canonical JSON.
struct FingerprintInputs {
    std::string case_json;       // the case as parsed from its YAML text
    std::string geometry;        // the geometry hash, "" without geometry
    std::string image;           // the image digest, "" when unknown
    std::string mesh_cache;      // the mesh cache identity, "none" without one
    std::string parameters;      // the parameter snapshot, {} without one
    std::string solver_cert;     // the certificate status
    std::string solver_version;  // the solver's version, "" when unknown
};

// The canonical JSON object of the inputs, members in key order: the text
// whose SHA-256 is the fingerprint.
std::string fingerprint_payload(const FingerprintInputs& inputs);

}  // namespace orvane::provenance
