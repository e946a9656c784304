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
    // Throws StoreError unless a registration could be written now.
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

// Every row in the order of their numbers, in the columns rowFrom reads; a
// version-1 store has no retry column, which reads as 0.
const char* selectEveryRow(bool hasRetryColumn);

// One row of selectEveryRow, through a store's own reader of its columns:
// integer(i), text(i) and bytes(i).
template <typename Columns> StoredRegistration rowFrom(const Columns& columns)
{
    StoredRegistration row;
    row.id = columns.integer(0);
    row.time = columns.text(1);
    row.client = columns.text(2);
    row.dbproxy = columns.text(3);
    row.text = columns.bytes(4);
    row.setting = static_cast<std::uint8_t>(columns.integer(5));
    for (int flag = 0; flag < 3; ++flag) {
        row.flags[flag] = static_cast<std::uint8_t>(columns.integer(6 + flag));
    }
    row.databaseStatus = static_cast<std::uint16_t>(columns.integer(9));
    row.result = columns.bytes(10);
    row.retry = columns.integer(11) != 0;
    return row;
}

} // namespace testservice
