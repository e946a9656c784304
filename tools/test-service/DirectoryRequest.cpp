#include "test-service/DirectoryRequest.h"

#include "test-service/Wire.h"

namespace testservice {

std::string describeDirectoryRequest(const Bytes& frame)
{
    if (frame.size() < 4) {
        return "get-directory request of " + std::to_string(frame.size()) + " bytes, no frame";
    }
    std::string text = "get-directory request, frame length " +
                       std::to_string(FieldReader(frame).read32le()) + ", " +
                       std::to_string(frame.size() - 4) + " body bytes";
    try {
        FieldReader reader(frame, 4);
        const unsigned header = reader.read8();
        const unsigned service = reader.read16le();
        const unsigned message = reader.read16le();
        const std::uint32_t fixedWord = reader.read32le();
        const unsigned fixedZero = reader.read16le();
        const std::size_t units = reader.read16le();
        std::string path;
        for (std::size_t i = 0; i < units; ++i) {
            const std::uint16_t unit = reader.read16le();
            path += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        const unsigned endZero = reader.read16le();
        text += ": header " + std::to_string(header) + "/" + std::to_string(service) + "/" +
                std::to_string(message) + ", path \"" + path + "\"";
        if (header != 5 || service != 2 || message != 103 || fixedWord != 0x06000002 ||
            fixedZero != 0 || endZero != 0) {
            text += " (malformed fixed fields)";
        }
        if (reader.remaining() != 0) {
            text += " (" + std::to_string(reader.remaining()) + " trailing bytes)";
        }
    } catch (const ShortMessage&) {
        text += " (too short to decode)";
    }
    return text;
}

} // namespace testservice
