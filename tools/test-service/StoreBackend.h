// What each kind of registration store does behind RegistrationStore: an
// SQLite file for one machine, a PostgreSQL database for many.
#pragma once

#include "test-service/RegistrationStore.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace testservice {

class StoreBackend {
  public:
    using Visit = std::function<void(const StoredRegistration&)>;

    virtual ~StoreBackend() = default;

    virtual std::int64_t store(StoredRegistration row, const std::optional<std::string>& retrySince,
                               const RegistrationStore::Decision& decide) = 0;
    virtual void checkWritable() = 0;
    virtual void forEach(const Visit& visit) const = 0;
    // In one transaction: refuses a store that holds rows, then inserts every
    // row rows() hands to its argument with its own number and time.
    virtual void importRows(const std::function<void(const Visit& insert)>& rows) = 0;
};

std::unique_ptr<StoreBackend> openSqliteStore(const std::string& path,
                                              RegistrationStore::Access access,
                                              std::chrono::milliseconds lockWait);
std::unique_ptr<StoreBackend> openPostgresStore(const std::string& uri,
                                                RegistrationStore::Access access,
                                                std::chrono::milliseconds lockWait);

// The message of a store that holds rows when it must be empty.
std::string notEmptyMessage(std::int64_t rows);

} // namespace testservice
