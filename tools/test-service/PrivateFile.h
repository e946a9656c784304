// Files that hold a secret, such as a DBProxy's private key.
#pragma once

#include <string>

namespace testservice {

enum class FileExists { replace, keep };

// Writes text to path with mode 0600 whatever the umask. The file appears
// whole or not at all: it is written beside path and then moved or linked
// there. With keep, an existing file is left alone and false returned.
// Throws std::runtime_error when it cannot write.
bool writePrivateFile(const std::string& path, const std::string& text, FileExists exists);

} // namespace testservice
