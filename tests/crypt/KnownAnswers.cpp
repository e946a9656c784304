#include "KnownAnswers.h"

#include <algorithm>
#include <fstream>

std::vector<KnownAnswer> readKnownAnswers(const std::string& fileName)
{
    std::ifstream in(std::string(CRYPT_TEST_DATA) + "/" + fileName);
    std::vector<KnownAnswer> records(1);
    for (std::string line; std::getline(in, line);) {
        line.erase(line.find_last_not_of(" \r") + 1);
        const auto equals = line.find(" =");
        if (line.empty() && !records.back().empty()) {
            records.emplace_back();
        } else if (!line.empty() && line[0] != '#') {
            const std::size_t value = std::min(equals + 3, line.size());
            records.back()[line.substr(0, equals)] = fromHex(line.substr(value));
        }
    }
    if (records.back().empty()) {
        records.pop_back();
    }
    return records;
}
