// A build without libpq (the 32-bit cross build, whose service program is
// the build machine's): the store is SQLite only.
#include "test-service/StoreBackend.h"

namespace testservice {

std::unique_ptr<StoreBackend> openPostgresStore(const std::string&, RegistrationStore::Access,
                                                std::chrono::milliseconds)
{
    throw StoreError("this build of register-test-service has no PostgreSQL support");
}

} // namespace testservice
