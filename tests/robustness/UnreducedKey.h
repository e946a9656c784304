#pragma once

// A key blob that a hostile DBProxy could send: the key's own p and q, with g
// and y replaced by g + i*p and y + j*p for large i and j. The residues are
// the key's, so the blob is a valid key for the server's private exponent;
// the numbers grow until the blob fills the 65,535 bytes that a key reply's
// 16-bit length field allows. Shared by the hostile-server tests and the
// benchmarks.

#include "test-service/ElGamalKey.h"

namespace testservice {

Bytes unreducedKeyBlob(const ElGamalKey& key);

} // namespace testservice
