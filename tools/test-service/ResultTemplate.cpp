#include "test-service/ResultTemplate.h"

#include <algorithm>
#include <string_view>

namespace testservice {

namespace {

constexpr std::string_view idField = "{id}";
constexpr std::string_view textField = "{text}";

bool startsWith(const Bytes& bytes, std::size_t at, std::string_view field)
{
    return bytes.size() - at >= field.size() &&
           std::equal(field.begin(), field.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

} // namespace

Bytes expandResult(const Bytes& pattern, std::int64_t id, const Bytes& text)
{
    const std::string number = std::to_string(id);
    Bytes out;
    for (std::size_t at = 0; at < pattern.size();) {
        if (startsWith(pattern, at, idField)) {
            out.insert(out.end(), number.begin(), number.end());
            at += idField.size();
        } else if (startsWith(pattern, at, textField)) {
            out.insert(out.end(), text.begin(), text.end());
            at += textField.size();
        } else {
            out.push_back(pattern[at++]);
        }
    }
    return out;
}

bool resultShowsText(const Bytes& pattern)
{
    return std::search(pattern.begin(), pattern.end(), textField.begin(), textField.end()) !=
           pattern.end();
}

} // namespace testservice
