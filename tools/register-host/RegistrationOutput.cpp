#include "RegistrationOutput.h"

#include <algorithm>
#include <cstdio>

void printResult(std::string_view result)
{
    const bool printable = std::all_of(result.begin(), result.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7F;
    });
    if (printable) {
        std::printf("result: \"%.*s\"\n", static_cast<int>(result.size()), result.data());
        return;
    }
    std::printf("result (hex):");
    for (char c : result) {
        std::printf(" %02X", static_cast<unsigned char>(c));
    }
    std::printf("\n");
}

void printLog(std::string_view log)
{
    std::printf("log:\n");
    std::fwrite(log.data(), 1, log.size(), stdout);
}
