#include "test-service/RegistrationStore.h"

#include "test-service/StoreBackend.h"

namespace testservice {

bool RegistrationStore::isDatabaseUri(const std::string& location)
{
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

RegistrationStore::RegistrationStore(const std::string& location, Access access,
                                     std::chrono::milliseconds lockWait)
    : backend(isDatabaseUri(location) ? openPostgresStore(location, access, lockWait)
                                      : openSqliteStore(location, access, lockWait))
{
}

RegistrationStore::~RegistrationStore() = default;

std::int64_t RegistrationStore::store(StoredRegistration row,
                                      const std::optional<std::string>& retrySince,
                                      const Decision& decide)
{
    return backend->store(std::move(row), retrySince, decide);
}

std::optional<std::string> RegistrationStore::whyNotWritable()
{
    try {
        backend->checkWritable();
        return std::nullopt;
    } catch (const StoreError& error) {
        return error.what();
    }
}

void RegistrationStore::forEach(const std::function<void(const StoredRegistration&)>& visit) const
{
    backend->forEach(visit);
}

std::int64_t RegistrationStore::importFrom(const RegistrationStore& from)
{
    std::int64_t copied = 0;
    backend->importRows([&](const StoreBackend::Visit& insert) {
        copied = 0; // counted afresh when the transaction runs again
        from.forEach([&](const StoredRegistration& row) {
            insert(row);
            ++copied;
        });
    });
    return copied;
}

const char* selectEveryRow(bool hasRetryColumn)
{
    return hasRetryColumn ? "SELECT id, received_utc, client, dbproxy, text, setting, flag1, "
                            "flag2, flag3, database_status, result, retry FROM registrations "
                            "ORDER BY id"
                          : "SELECT id, received_utc, client, dbproxy, text, setting, flag1, "
                            "flag2, flag3, database_status, result, 0 FROM registrations "
                            "ORDER BY id";
}

std::string notEmptyMessage(std::int64_t rows)
{
    return "it holds " + std::to_string(rows) +
           " registrations already; registrations are copied into an empty store only";
}

} // namespace testservice
