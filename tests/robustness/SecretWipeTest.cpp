// Secrets end with the objects that held them: after a registration neither
// the session key that the service received nor its key schedule is left in
// the process's heap, live or freed, and destroyed keys, pools and digests
// leave none of their secrets in their own storage.

#include "DirectRegistration.h"
#include "common/SecureWipe.h"
#include "crypt/MD5.h"
#include "crypt/RandomPool.h"
#include "crypt/SymmetricKey.h"
#include "platform/EmulatorCheck.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <malloc.h>
#include <memory>
#include <new>
#include <openssl/blowfish.h>
#include <openssl/crypto.h>
#include <openssl/md5.h>
#include <register/register.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Every block freed while a registration runs is copied here first, before
// the allocator reuses its first bytes for its own lists or hands it out
// again: what a freed block held is then still there to be searched.
namespace {

struct FreedArchive {
    static constexpr std::size_t capacity = std::size_t{256} << 20;
    std::uint8_t* bytes = static_cast<std::uint8_t*>(
        mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::size_t used = 0;
    bool recording = false;
    bool overflowed = false;
};

FreedArchive& archive()
{
    static FreedArchive instance;
    return instance;
}

void* allocate(std::size_t size)
{
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void release(void* block) noexcept
{
    FreedArchive& freed = archive();
    if (block != nullptr && freed.recording) {
        const std::size_t size = malloc_usable_size(block);
        if (freed.used + size <= FreedArchive::capacity) {
            std::memcpy(freed.bytes + freed.used, block, size);
            freed.used += size;
        } else {
            freed.overflowed = true;
        }
    }
    std::free(block);
}

} // namespace

void* operator new(std::size_t size)
{
    return allocate(size);
}
void* operator new[](std::size_t size)
{
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept
{
    release(block);
}
void operator delete[](void* block) noexcept
{
    release(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    release(block);
}
void operator delete[](void* block, std::size_t) noexcept
{
    release(block);
}

namespace {

using LumenCryptMini::MD5;
using LumenCryptMini::RandomPool;
using LumenCryptMini::SymmetricKey;
using Pattern = std::vector<std::uint8_t>;

// The service in a process of its own, so that the key it received is in
// no memory of this one.
class ServiceProcess {
  public:
    // Verbose, it logs the session key it received; quiet, it sends the
    // result given and logs nothing of the registration.
    explicit ServiceProcess(const char* result = nullptr)
    {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        child = fork();
        if (child == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            // Verbose: the session key it received is read from its log.
            execl(REGISTER_TEST_SERVICE, REGISTER_TEST_SERVICE, "--directory", "127.0.0.1:0",
                  "--dbproxy", "127.0.0.1:0", result ? "--result" : "--verbose", result,
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        output = fdopen(out[0], "r");
        for (std::string line; readLine(line) && line != "ready";) {
            if (line.rfind("listening directory ", 0) == 0) {
                directory = line.substr(20, line.find(' ', 20) - 20);
            }
        }
    }
    ~ServiceProcess()
    {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        std::fclose(output);
    }

    bool readLine(std::string& line)
    {
        char buffer[4096];
        if (std::fgets(buffer, sizeof buffer, output) == nullptr) {
            return false;
        }
        line = buffer;
        line.erase(line.find_last_not_of('\n') + 1);
        return true;
    }

    // The 8 key bytes of the first registration the service decoded.
    Pattern receivedKey()
    {
        for (std::string line; readLine(line);) {
            const std::size_t at = line.find("symmetric key ");
            if (at != std::string::npos) {
                std::istringstream hex(line.substr(at + 14, 23));
                Pattern key;
                for (unsigned byte; hex >> std::hex >> byte;) {
                    key.push_back(static_cast<std::uint8_t>(byte));
                }
                return key;
            }
        }
        return {};
    }

    std::string directory;

  private:
    pid_t child = -1;
    FILE* output = nullptr;
};

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Where a pattern occurs in the writable private memory that is not a stack
// (the heap, malloc's arenas, large anonymous blocks), read through
// /proc/self/mem so that freed and poisoned blocks can be read too. The
// patterns' own copies are left out.
std::vector<std::uintptr_t> heapOccurrences(std::initializer_list<const Pattern*> patterns)
{
    std::vector<std::uintptr_t> found;
    std::ifstream maps("/proc/self/maps");
    const int memory = open("/proc/self/mem", O_RDONLY);
    // Under an emulator the regions are read in place: its maps list this
    // program's mappings only, and nothing unmaps them during the scan.
    const bool throughProcMemory = procMemoryIsOurs();
    std::vector<std::uint8_t> chunk(1 << 20);
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, permissions, offset, device, inode, path;
        fields >> range >> permissions >> offset >> device >> inode;
        std::getline(fields, path);
        if (permissions.compare(0, 2, "rw") != 0 || permissions[3] != 'p' || false ||
            (path.find_first_not_of(' ') != std::string::npos &&
             path.find("[heap]") == std::string::npos)) {
            continue;
        }
        const std::uintptr_t begin = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        const std::uintptr_t end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        // The archive holds copies on purpose; a sanitizer's shadow and
        // allocator reserve terabytes that cannot be read through.
        if (begin == reinterpret_cast<std::uintptr_t>(archive().bytes) ||
            std::uint64_t{end - begin} > (std::uint64_t{1} << 32)) {
            continue;
        }
        for (std::uintptr_t at = begin; at < end; at += chunk.size() - 64) {
            const std::size_t length = std::min<std::uintptr_t>(chunk.size(), end - at);
            ssize_t got = static_cast<ssize_t>(length);
            if (throughProcMemory) {
                got = pread(memory, chunk.data(), length, static_cast<off_t>(at));
            } else {
                std::memcpy(chunk.data(), reinterpret_cast<const void*>(at), length);
            }
            if (got <= 0) {
                break;
            }
            for (const Pattern* wanted : patterns) {
                const Pattern& pattern = *wanted;
                for (auto hit = chunk.begin();
                     (hit = std::search(hit, chunk.begin() + got, pattern.begin(),
                                        pattern.end())) != chunk.begin() + got;
                     ++hit) {
                    const std::uintptr_t address =
                        at + static_cast<std::uintptr_t>(hit - chunk.begin());
                    const bool ours =
                        std::any_of(patterns.begin(), patterns.end(), [&](const Pattern* own) {
                            const auto start = reinterpret_cast<std::uintptr_t>(own->data());
                            return address >= start && address < start + own->size();
                        });
                    const auto chunkStart = reinterpret_cast<std::uintptr_t>(chunk.data());
                    const auto archiveStart = reinterpret_cast<std::uintptr_t>(archive().bytes);
                    if (!ours && !(address >= chunkStart && address < chunkStart + chunk.size()) &&
                        !(address >= archiveStart &&
                          address < archiveStart + FreedArchive::capacity)) {
                        found.push_back(address);
                    }
                }
            }
            if (length < chunk.size()) {
                break;
            }
        }
    }
    close(memory);
    return found;
}
#endif

// The first words of the Blowfish P-array the key expands to, as this
// process stores them.
Pattern scheduleOf(const Pattern& key)
{
    BF_KEY schedule;
    BF_set_key(&schedule, static_cast<int>(key.size()), key.data());
    Pattern words(16);
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint32_t word = static_cast<std::uint32_t>(schedule.P[i]);
        std::memcpy(words.data() + 4 * i, &word, 4);
    }
    OPENSSL_cleanse(&schedule, sizeof schedule);
    return words;
}

TEST(SecretWipe, NoSessionKeyOrScheduleIsLeftInTheHeapAfterARegistration)
{
    ServiceProcess service;
    ASSERT_FALSE(service.directory.empty());
    ASSERT_NE(archive().bytes, MAP_FAILED);
    RegistrationReport report;
    archive().recording = true;
    const std::int32_t code =
        runRegistrationWith(service.directory.c_str(), service.directory.c_str(),
                            {"a secret text", 3, 1, 0, 1, 0}, &report);
    archive().recording = false;
    ASSERT_EQ(code, REGISTER_RESULT_SUCCESS) << report.progressLog;
    ASSERT_FALSE(archive().overflowed);
    const Pattern key = service.receivedKey();
    ASSERT_EQ(key.size(), 8u);
    const Pattern schedule = scheduleOf(key);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Under a sanitizer the heap lives in its allocator's reserved space,
    // out of reach of this scan; the freed blocks are still searched below.
    const std::vector<std::uintptr_t> hits = heapOccurrences({&key, &schedule});
    EXPECT_TRUE(hits.empty()) << hits.size() << " live copies, the first at 0x" << std::hex
                              << (hits.empty() ? 0 : hits.front());
#endif
    const std::uint8_t* freed = archive().bytes;
    const std::uint8_t* freedEnd = freed + archive().used;
    for (const Pattern* secret : {&key, &schedule}) {
        EXPECT_EQ(std::search(freed, freedEnd, secret->begin(), secret->end()), freedEnd)
            << "a block was freed with the secret in it, at offset "
            << std::search(freed, freedEnd, secret->begin(), secret->end()) - freed << " of the "
            << archive().used << " freed bytes";
    }
}

TEST(SecretWipe, NoCopyOfTheTextOrTheResultIsLeftBehindByAnyWayOfCalling)
{
    static constexpr char text[] = "a secret text 5d0e91";
    static constexpr char result[] = "a secret result 7f3c2a";
    enum class Way { coreLookupFails, exportEx, handle };
    struct Row {
        const char* name;
        Way way;
        const char* secret;
    };
    const Row rows[] = {
        {"the text after a failed lookup", Way::coreLookupFails, text},
        {"the result through DLL_RegisterUserEx", Way::exportEx, result},
        {"the result through a handle", Way::handle, result},
    };
    ServiceProcess service(result);
    ASSERT_FALSE(service.directory.empty());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        archive().used = 0;
        archive().recording = true;
        std::array<char, 256> got{};
        if (row.way == Way::coreLookupFails) {
            RegistrationReport report;
            EXPECT_EQ(
                runRegistrationWith("127.0.0.1:1", "127.0.0.1:1", {text, 3, 1, 0, 1, 0}, &report),
                REGISTER_RESULT_DIRECTORY_FAILED);
        } else if (row.way == Way::exportEx) {
            setenv("REGISTER_DIRECTORY", service.directory.c_str(), 1);
            EXPECT_EQ(DLL_RegisterUserEx(text, 3, 1, 0, 1, 0, got.data(), got.size(), nullptr,
                                         nullptr, 0, nullptr),
                      REGISTER_RESULT_SUCCESS);
            unsetenv("REGISTER_DIRECTORY");
        } else {
            RegisterCall* call = DLL_RegisterCallCreate();
            DLL_RegisterCallSetText(call, REGISTER_OPTION_DIRECTORY, service.directory.c_str());
            EXPECT_EQ(DLL_RegisterCallRun(call, text, 3, 1, 0, 1), REGISTER_RESULT_SUCCESS);
            DLL_RegisterCallGetText(call, REGISTER_INFO_RESULT, got.data(), got.size());
            DLL_RegisterCallDestroy(call);
        }
        archive().recording = false;
        if (row.way != Way::coreLookupFails) {
            EXPECT_STREQ(got.data(), result);
        }
        secureWipe(got);
        const Pattern secret(row.secret, row.secret + std::strlen(row.secret));
        const std::uint8_t* freed = archive().bytes;
        const std::uint8_t* freedEnd = freed + archive().used;
        EXPECT_EQ(std::search(freed, freedEnd, secret.begin(), secret.end()), freedEnd)
            << "a block was freed with the secret in it";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        EXPECT_TRUE(heapOccurrences({&secret}).empty()) << "a live copy is left";
#endif
    }
}

bool holds(const std::uint8_t* storage, std::size_t size, const Pattern& pattern)
{
    return std::search(storage, storage + size, pattern.begin(), pattern.end()) != storage + size;
}

TEST(SecretWipe, DestroyedKeysPoolsAndDigestsLeaveNoSecretInTheirStorage)
{
    const Pattern keyBytes = {0x3c, 0x91, 0x0e, 0xd4, 0x77, 0x2a, 0xb8, 0x65};
    const Pattern seedBytes(40, 0x5a);

    alignas(SymmetricKey) std::uint8_t keyStorage[sizeof(SymmetricKey)];
    auto* symmetricKey = new (keyStorage) SymmetricKey(0);
    ASSERT_TRUE(symmetricKey->setKey(keyBytes));
    symmetricKey->~SymmetricKey();
    EXPECT_FALSE(holds(keyStorage, sizeof keyStorage, scheduleOf(keyBytes)));

    // The pool's seed is MD5(seed bytes) and its first block MD5(seed || 0).
    Pattern seed(16), block(16);
    MD5_CTX reference;
    MD5_Init(&reference);
    MD5_Update(&reference, seedBytes.data(), seedBytes.size());
    MD5_Final(seed.data(), &reference);
    MD5_Init(&reference);
    MD5_Update(&reference, seed.data(), seed.size());
    MD5_Update(&reference, Pattern(8, 0).data(), 8);
    MD5_Final(block.data(), &reference);
    alignas(RandomPool) std::uint8_t poolStorage[sizeof(RandomPool)];
    auto* pool = new (poolStorage) RandomPool(seedBytes);
    ByteString drawn(4);
    pool->fill(drawn);
    pool->~RandomPool();
    EXPECT_FALSE(holds(poolStorage, sizeof poolStorage, Pattern(block.begin() + 4, block.end())))
        << "the waiting output is left";

    // A digest fed 70 bytes holds 6 of them pending and the chaining value of
    // the first 64.
    const Pattern message(70, 0xc3);
    MD5_Init(&reference);
    MD5_Update(&reference, message.data(), message.size());
    Pattern chaining(16);
    std::memcpy(chaining.data(), &reference.A, 4);
    std::memcpy(chaining.data() + 4, &reference.B, 4);
    std::memcpy(chaining.data() + 8, &reference.C, 4);
    std::memcpy(chaining.data() + 12, &reference.D, 4);
    alignas(MD5) std::uint8_t digestStorage[sizeof(MD5)];
    auto* digest = new (digestStorage) MD5();
    digest->update(message.data(), message.size());
    digest->~MD5();
    EXPECT_FALSE(holds(digestStorage, sizeof digestStorage, Pattern(6, 0xc3))) << "pending input";
    EXPECT_FALSE(holds(digestStorage, sizeof digestStorage, chaining)) << "chaining value";
}

} // namespace
