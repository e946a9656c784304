#include "test-service/PrivateFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace testservice {

namespace {

std::runtime_error fileError(const std::string& what, const std::string& path)
{
    return std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(errno));
}

} // namespace

bool writePrivateFile(const std::string& path, const std::string& text, FileExists exists)
{
    std::string pattern = path + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkstemp creates the file with mode 0600.
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        throw fileError("create a file beside", path);
    }
    const std::string temporary(name.data());
    bool written = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    for (std::size_t done = 0; written && done < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        written = wrote > 0;
        done += written ? static_cast<std::size_t>(wrote) : 0;
    }
    written = ::fsync(fd) == 0 && written;
    written = ::close(fd) == 0 && written;
    if (!written) {
        const auto error = fileError("write", temporary);
        ::unlink(temporary.c_str());
        throw error;
    }
    if (exists == FileExists::replace) {
        if (::rename(temporary.c_str(), path.c_str()) != 0) {
            const auto error = fileError("write", path);
            ::unlink(temporary.c_str());
            throw error;
        }
        return true;
    }
    // link() fails on an existing name, which rename() would replace.
    const bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (!linked && linkError != EEXIST) {
        errno = linkError;
        throw fileError("write", path);
    }
    return linked;
}

} // namespace testservice
