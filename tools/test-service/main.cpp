// register-test-service: directory and DBProxy servers on local endpoints,
// printing every request they receive, until SIGINT or SIGTERM.
#include "test-service/DBProxyServer.h"
#include "test-service/DirectoryServer.h"
#include "test-service/Wire.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace testservice;

const char usage[] = R"(Usage: register-test-service [options]

Runs directory and DBProxy servers on local IPv4 endpoints, prints one line per
request (the decoded registration record included) and runs until SIGINT or
SIGTERM. Once every server is up it prints "listening <kind> <address:port>"
per server and then "ready". Numbers may be decimal or 0x-prefixed hex.

Servers
  --directory ADDR:PORT        run a directory server (repeatable)
  --dbproxy ADDR:PORT          run a DBProxy server (repeatable)
  --list [NAME@]ADDR:PORT      an entry the directory servers list, in the order
                               given, duplicates kept (repeatable; default: every
                               --dbproxy in the order given)

DBProxy key
  --key-bits N                 1024 (default), 1536 or 2048: the RFC 2409 / RFC 3526
                               safe-prime group, a fresh private x per server
  --generate-key               a freshly generated safe prime of --key-bits bits
                               instead (slow)
  --key-file PATH              load the key from lines p=HEX q=HEX g=HEX x=HEX
  --save-key PATH              write the first DBProxy's key to PATH in that form

Directory behaviour (every directory server)
  --directory-mode MODE        answer (default), refuse, close, stall
  --directory-header H,S,M     reply header, service and message type (5,2,3)
  --directory-status N         reply status (0; bit 15 set is an error)
  --entry-count N              sent instead of the number of entries
  --cut-entry K                end the reply inside entry K (0-based)
  --directory-raw HEX          reply body sent as is
  --directory-frame-length N   sent instead of the true frame length (100001)
  --cut-directory-frame N      send only N bytes of the reply frame, then close

DBProxy behaviour (every DBProxy server)
  --dbproxy-mode MODE          answer (default), refuse, close, close-after-key,
                               stall-key, stall-reply
  --key-blob HEX               sent instead of the DER key blob
  --zero-modulus               send the key blob with a modulus of 0
  --dbproxy-status N           DBProxy status (0; bit 15 set is an error)
  --database-status N          database status (0)
  --result TEXT                result string ("OK")
  --result-hex HEX             result string as bytes, zero bytes allowed
  --reply-cipher KIND          normal, wrong-key, not-multiple-of-8, empty
  --length-prefix N            sent instead of the true length inside the
                               encrypted reply
  --cut-key-reply N            key reply body cut to N bytes (length field matches)
  --cut-registration-reply N   registration reply body cut to N bytes
  --cut-key-frame N            send only N bytes of the key reply frame, then close
  --cut-registration-frame N   the same for the registration reply frame

Both
  --trickle MS                 send every reply one byte at a time, MS ms apart
  --help                       this text
)";

std::mutex outputMutex;

void printLine(const std::string& line)
{
    std::lock_guard lock(outputMutex);
    std::cout << line << std::endl;
}

unsigned long parseNumber(const std::string& text, unsigned long maximum)
{
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || value > maximum || text[0] == '-') {
        throw std::invalid_argument("not a number up to " + std::to_string(maximum) + ": \"" +
                                    text + "\"");
    }
    return value;
}

std::uint16_t parse16(const std::string& text)
{
    return static_cast<std::uint16_t>(parseNumber(text, 0xffff));
}

struct Options {
    std::vector<Endpoint> directories;
    std::vector<Endpoint> dbproxies;
    std::vector<DirectoryEntry> listed;
    bool listGiven = false;
    int keyBits = 1024;
    bool generateKey = false;
    std::string keyFile;
    std::string saveKey;
    DirectoryBehaviour directory;
    DBProxyBehaviour dbproxy;
};

DirectoryBehaviour::Mode directoryMode(const std::string& name)
{
    using Mode = DirectoryBehaviour::Mode;
    if (name == "answer") {
        return Mode::answer;
    }
    if (name == "refuse") {
        return Mode::refuse;
    }
    if (name == "close") {
        return Mode::closeAtOnce;
    }
    if (name == "stall") {
        return Mode::stall;
    }
    throw std::invalid_argument("unknown directory mode \"" + name + "\"");
}

DBProxyBehaviour::Mode dbproxyMode(const std::string& name)
{
    using Mode = DBProxyBehaviour::Mode;
    const std::pair<const char*, Mode> modes[] = {
        {"answer", Mode::answer},
        {"refuse", Mode::refuse},
        {"close", Mode::closeAtOnce},
        {"close-after-key", Mode::closeAfterKeyRequest},
        {"stall-key", Mode::stallAtKeyReply},
        {"stall-reply", Mode::stallAtRegistrationReply},
    };
    for (const auto& [text, mode] : modes) {
        if (name == text) {
            return mode;
        }
    }
    throw std::invalid_argument("unknown DBProxy mode \"" + name + "\"");
}

DBProxyBehaviour::Cipher cipherKind(const std::string& name)
{
    using Cipher = DBProxyBehaviour::Cipher;
    const std::pair<const char*, Cipher> kinds[] = {
        {"normal", Cipher::normal},
        {"wrong-key", Cipher::wrongKey},
        {"not-multiple-of-8", Cipher::notMultipleOf8},
        {"empty", Cipher::empty},
    };
    for (const auto& [text, kind] : kinds) {
        if (name == text) {
            return kind;
        }
    }
    throw std::invalid_argument("unknown reply cipher \"" + name + "\"");
}

DirectoryEntry parseEntry(const std::string& text)
{
    DirectoryEntry entry;
    std::string endpointText = text;
    if (const auto at = text.find('@'); at != std::string::npos) {
        entry.name = text.substr(0, at);
        endpointText = text.substr(at + 1);
    }
    const Endpoint endpoint = parseEndpoint(endpointText);
    entry.address = endpoint.address;
    entry.port = endpoint.port;
    return entry;
}

// Returns false when only the help was asked for.
bool parseOptions(int argc, char** argv, Options& options)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (const auto equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            inlineValue = true;
        }
        auto next = [&]() -> const std::string& {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    throw std::invalid_argument(name + " needs a value");
                }
                value = args[++i];
            }
            return value;
        };
        auto shaping = [](ReplyShaping& target, std::size_t limit, bool frame) {
            (frame ? target.frameLimit : target.bodyLimit) = limit;
        };
        DirectoryBehaviour& dir = options.directory;
        DBProxyBehaviour& proxy = options.dbproxy;
        if (name == "--help" || name == "-h") {
            std::cout << usage;
            return false;
        } else if (name == "--directory") {
            options.directories.push_back(parseEndpoint(next()));
        } else if (name == "--dbproxy") {
            options.dbproxies.push_back(parseEndpoint(next()));
        } else if (name == "--list") {
            options.listed.push_back(parseEntry(next()));
            options.listGiven = true;
        } else if (name == "--key-bits") {
            options.keyBits = static_cast<int>(parseNumber(next(), 16384));
        } else if (name == "--generate-key") {
            options.generateKey = true;
        } else if (name == "--key-file") {
            options.keyFile = next();
        } else if (name == "--save-key") {
            options.saveKey = next();
        } else if (name == "--directory-mode") {
            dir.mode = directoryMode(next());
        } else if (name == "--directory-header") {
            const std::string& fields = next();
            const auto first = fields.find(',');
            const auto second = fields.find(',', first == std::string::npos ? first : first + 1);
            if (first == std::string::npos || second == std::string::npos) {
                throw std::invalid_argument("--directory-header needs H,S,M");
            }
            dir.headerType = static_cast<std::uint8_t>(parseNumber(fields.substr(0, first), 255));
            dir.serviceType = parse16(fields.substr(first + 1, second - first - 1));
            dir.messageType = parse16(fields.substr(second + 1));
        } else if (name == "--directory-status") {
            dir.status = parse16(next());
        } else if (name == "--entry-count") {
            dir.entryCount = parse16(next());
        } else if (name == "--cut-entry") {
            dir.cutInsideEntry = parseNumber(next(), 0xffff);
        } else if (name == "--directory-raw") {
            dir.rawBody = parseHex(next());
        } else if (name == "--directory-frame-length") {
            dir.shaping.lengthField = static_cast<std::uint32_t>(parseNumber(next(), 0xffffffff));
        } else if (name == "--cut-directory-frame") {
            shaping(dir.shaping, parseNumber(next(), maxFrameLength), true);
        } else if (name == "--dbproxy-mode") {
            proxy.mode = dbproxyMode(next());
        } else if (name == "--key-blob") {
            proxy.keyBlob = parseHex(next());
        } else if (name == "--zero-modulus") {
            proxy.zeroModulus = true;
        } else if (name == "--dbproxy-status") {
            proxy.dbproxyStatus = parse16(next());
        } else if (name == "--database-status") {
            proxy.databaseStatus = parse16(next());
        } else if (name == "--result") {
            const std::string& text = next();
            proxy.result.assign(text.begin(), text.end());
        } else if (name == "--result-hex") {
            proxy.result = parseHex(next());
        } else if (name == "--reply-cipher") {
            proxy.cipher = cipherKind(next());
        } else if (name == "--length-prefix") {
            proxy.lengthPrefix = static_cast<std::uint32_t>(parseNumber(next(), 0xffffffff));
        } else if (name == "--cut-key-reply") {
            shaping(proxy.keyReplyShaping, parseNumber(next(), maxFrameLength), false);
        } else if (name == "--cut-registration-reply") {
            shaping(proxy.registrationReplyShaping, parseNumber(next(), maxFrameLength), false);
        } else if (name == "--cut-key-frame") {
            shaping(proxy.keyReplyShaping, parseNumber(next(), maxFrameLength), true);
        } else if (name == "--cut-registration-frame") {
            shaping(proxy.registrationReplyShaping, parseNumber(next(), maxFrameLength), true);
        } else if (name == "--trickle") {
            const std::chrono::milliseconds delay(parseNumber(next(), 60000));
            dir.shaping.trickleDelay = delay;
            proxy.keyReplyShaping.trickleDelay = delay;
            proxy.registrationReplyShaping.trickleDelay = delay;
        } else {
            throw std::invalid_argument("unknown option " + name + " (see --help)");
        }
    }
    if (options.directories.empty() && options.dbproxies.empty()) {
        throw std::invalid_argument("nothing to run: give --directory and/or --dbproxy");
    }
    return true;
}

ElGamalKey makeKey(const Options& options)
{
    if (!options.keyFile.empty()) {
        return ElGamalKey::fromFile(options.keyFile);
    }
    if (options.generateKey) {
        printLine("generating a " + std::to_string(options.keyBits) + "-bit safe prime");
        return ElGamalKey::generate(options.keyBits);
    }
    return ElGamalKey::fromGroup(options.keyBits);
}

int run(const Options& options)
{
    // Every server thread inherits this mask, so the signals reach sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<std::unique_ptr<DBProxyServer>> dbproxies;
    std::vector<std::unique_ptr<DirectoryServer>> directories;
    std::vector<std::string> ready;
    const bool proxyRefuses = options.dbproxy.mode == DBProxyBehaviour::Mode::refuse;
    const bool directoryRefuses = options.directory.mode == DirectoryBehaviour::Mode::refuse;

    for (const Endpoint& endpoint : options.dbproxies) {
        auto server =
            std::make_unique<DBProxyServer>(endpoint, makeKey(options), options.dbproxy, printLine);
        if (dbproxies.empty() && !options.saveKey.empty()) {
            server->key().saveFile(options.saveKey);
        }
        ready.push_back((proxyRefuses ? "refusing dbproxy " : "listening dbproxy ") +
                        server->endpointText() + " (" + std::to_string(server->key().bits()) +
                        "-bit key)");
        dbproxies.push_back(std::move(server));
    }

    std::vector<DirectoryEntry> listed = options.listed;
    if (!options.listGiven) {
        for (const auto& server : dbproxies) {
            listed.push_back({"DBProxy", server->port(), server->address(), 0});
        }
    }
    for (const Endpoint& endpoint : options.directories) {
        auto server =
            std::make_unique<DirectoryServer>(endpoint, listed, options.directory, printLine);
        ready.push_back((directoryRefuses ? "refusing directory " : "listening directory ") +
                        server->endpointText() + " (" + std::to_string(listed.size()) +
                        " entries)");
        directories.push_back(std::move(server));
    }
    for (const std::string& line : ready) {
        printLine(line);
    }
    printLine("ready");

    int signal = 0;
    sigwait(&stopSignals, &signal);
    printLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        if (!parseOptions(argc, argv, options)) {
            return 0;
        }
    } catch (const std::exception& error) {
        std::cerr << "register-test-service: " << error.what() << "\n";
        return 2;
    }
    try {
        return run(options);
    } catch (const std::exception& error) {
        std::cerr << "register-test-service: " << error.what() << "\n";
        return 1;
    }
}
