// POSIX backend of the process facilities.

#include "platform/Process.h"

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

class Descriptor {
  public:
    explicit Descriptor(int opened) : fd(opened) {}
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }

  private:
    int fd;
};

} // namespace

std::string moduleFilePath()
{
    // Any address inside this module names it; a function of this file is
    // the one that is sure to be here.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&moduleFilePath), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

std::optional<std::string> environmentVariable(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

FileRead readWholeFile(const std::string& path, std::string& contents)
{
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return errno == ENOENT ? FileRead::missing : FileRead::failed;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return FileRead::failed;
    }
    contents.clear();
    char block[4096];
    for (;;) {
        const ssize_t got = ::read(file.get(), block, sizeof block);
        if (got == 0) {
            return FileRead::read;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FileRead::failed;
        }
        contents.append(block, static_cast<std::size_t>(got));
    }
}

bool appendWhole(const std::string& path, std::string_view bytes)
{
    const Descriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (file.get() < 0) {
        return false;
    }
    // One write: with O_APPEND the kernel places it whole at the end. A
    // short write (a full disk) leaves the rest out rather than risk
    // splitting the record around another writer's.
    for (;;) {
        const ssize_t done = ::write(file.get(), bytes.data(), bytes.size());
        if (done >= 0) {
            return static_cast<std::size_t>(done) == bytes.size();
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

CancellationShield::CancellationShield() noexcept
{
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previousState);
}

CancellationShield::~CancellationShield()
{
    int ignored = 0;
    pthread_setcancelstate(previousState, &ignored);
}

} // namespace Platform
