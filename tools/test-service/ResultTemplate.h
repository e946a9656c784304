// The result string a stored registration is answered with: the configured
// bytes with {id} replaced by the row's number and {text} by the user's text,
// so that each user can get a result of their own.
#pragma once

#include "test-service/Server.h"

#include <cstdint>

namespace testservice {

Bytes expandResult(const Bytes& pattern, std::int64_t id, const Bytes& text);

// Whether the expanded result carries the user's text, which the log shows
// only when verbose.
bool resultShowsText(const Bytes& pattern);

} // namespace testservice
