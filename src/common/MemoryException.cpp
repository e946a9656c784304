#include "common/MemoryException.h"

namespace LumenCommon {

const std::map<std::int32_t, const char*> exceptionDescriptions;
MemoryException memoryExceptionInstance;

void MemoryException::raise() const
{
    throw MemoryException(*this);
}

void MemoryException::describe()
{
    const auto entry = exceptionDescriptions.find(code);
    const char* description =
        entry != exceptionDescriptions.end() ? entry->second : "Undefined exception.";
    text = "Exception (" + std::to_string(static_cast<long>(code)) + ") " + description;
}

} // namespace LumenCommon
