// The stored registrations as text for people and scripts.
#pragma once

#include "test-service/RegistrationStore.h"
#include "test-service/ServiceOptions.h"

#include <ostream>

namespace testservice {

// Every row of the store, oldest first, in the format asked for.
void exportRegistrations(const RegistrationStore& store, ExportOptions::Format format,
                         std::ostream& out);

} // namespace testservice
