#include "test-service/ServiceOptions.h"

#include "test-service/ResultTemplate.h"
#include "test-service/Wire.h"

#include <cstddef>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

namespace testservice {

namespace {

const char serviceUsage[] = R"(Usage: register-test-service [options]
       register-test-service export --database PATH_OR_URI [--format csv|jsonl]
       register-test-service migrate --from PATH_OR_URI --to PATH_OR_URI

Runs directory and DBProxy servers on IPv4 endpoints, prints one line per
event and runs until SIGINT or SIGTERM. Once every server is up it prints
"listening <kind> <address:port>" per server and then "ready". Each event line
starts with the UTC time and the client's address. Numbers may be decimal or
0x-prefixed hex.

Servers
  --directory ADDR:PORT        run a directory server (repeatable)
  --dbproxy ADDR:PORT          run a DBProxy server (repeatable)
  --list [NAME@]ADDR:PORT      an entry the directory servers list, in the order
                               given, duplicates kept (repeatable; default: every
                               --dbproxy in the order given)
  --advertise ADDR             the address listed for a --dbproxy bound to
                               0.0.0.0 (required for one when --list is not given)
  --idle-timeout MS            close a connection that sends no complete request
                               for MS ms (30000)
  --max-connections N          serve at most N connections at once, over the
                               directory servers and again over the DBProxies;
                               close any further one at once (256)
  --max-connections-per-address N
                               of those, at most N from one client address (16)
  --connection-lifetime MS     close a connection MS ms after it was accepted,
                               whatever it sends (120000)
  --registrations-per-minute N decrypt at most N registration messages a minute
                               from one client address; close the connection of
                               any further one unanswered (60; 0: no limit).
                               Whatever N, a frame that repeats byte for byte
                               one answered in the last minute gets that reply
                               again, neither decrypted nor stored
  --metrics ADDR:PORT          serve /metrics (Prometheus) and /health over HTTP
                               on this endpoint; say 0.0.0.0 only behind a
                               firewall
  --verbose                    log the user's text and the session key too

Registrations
  --database PATH_OR_URI       store every registration answered with a database
                               status in this SQLite file (created when missing)
                               or in the PostgreSQL database of a
                               postgresql://USER@HOST:PORT/DB URI, which any
                               number of service processes may share
  --duplicate-status N         with --database: the database status of a text
                               already stored with status 0 (1; 0 accepts repeats)
  --retry-window MS            with --database: a registration repeating the text,
                               setting and flags of one accepted at most MS ms
                               ago gets its answer again and is stored as a
                               retry, not as a duplicate (600000; 0 turns it off)
  --store-timeout MS           with --database: wait at most MS ms for the store's
                               write lock; a registration not written by then
                               gets no reply and is not stored (5000)
  --oversize-status N          with --database: the database status stored and
                               sent for a registration whose result cannot fit
                               the reply (over 65,520 bytes), with no result (2)

DBProxy key
  --key-bits N                 1024 (default), 1536 or 2048: the RFC 2409 / RFC 3526
                               safe-prime group, a fresh private x per server
  --generate-key               a freshly generated safe prime of --key-bits bits
                               instead (slow)
  --key-file PATH              load the key from lines p=HEX q=HEX g=HEX x=HEX;
                               when PATH does not exist, create it (mode 0600)
                               with the key made as above, for every later start
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
  --result TEXT                result string ("OK"); with --database, {id} is
                               replaced by the stored row's number and {text}
                               by the user's text
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

const char exportUsage[] =
    R"(Usage: register-test-service export --database PATH_OR_URI [--format csv|jsonl]

Prints every registration stored in PATH, oldest first: the row's number, the
UTC time, the client, the DBProxy, the text, the setting, the three flags, the
database status and the result. Bytes other than printable ASCII are written
as \xNN (a backslash as \x5c), as in the service's log. In CSV a cell that
begins with =, +, -, @, a tab or a carriage return gets a leading ' so that a
spreadsheet shows it as text; jsonl keeps every text exactly.

  --database PATH_OR_URI       the SQLite file or postgresql:// URI the service
                               was given with --database
  --format csv|jsonl           comma-separated with a header line (default), or
                               one JSON object per line
  --help                       this text
)";

const char migrateUsage[] =
    R"(Usage: register-test-service migrate --from PATH_OR_URI --to PATH_OR_URI

Copies every registration from one store to another, each with its number
and time, in one transaction: from SQLite to PostgreSQL, back, or between two
of a kind. A target that holds registrations already is refused and left as
it was; one that does not exist yet is created. The source may be in use.

  --from PATH_OR_URI           the store to read
  --to PATH_OR_URI             the store to fill
  --help                       this text
)";

// Options as "--name value" or "--name=value".
class ArgumentReader {
  public:
    explicit ArgumentReader(const std::vector<std::string>& arguments) : args(arguments) {}

    bool more() const { return at < args.size(); }

    // The next option's name; its value, if it has one, is read by value().
    std::string name()
    {
        current = args[at++];
        inlineValue.reset();
        if (const auto equals = current.find('='); equals != std::string::npos) {
            inlineValue = current.substr(equals + 1);
            current = current.substr(0, equals);
        }
        return current;
    }

    const std::string& value()
    {
        if (!inlineValue) {
            if (at >= args.size()) {
                throw std::invalid_argument(current + " needs a value");
            }
            inlineValue = args[at++];
        }
        return *inlineValue;
    }

  private:
    const std::vector<std::string>& args;
    std::size_t at = 0;
    std::string current;
    std::optional<std::string> inlineValue;
};

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

// The value named by NAME in a table of option words, or the option's own
// complaint naming the word it did not know.
template <typename Value, std::size_t count>
Value namedValue(const std::pair<const char*, Value> (&table)[count], const std::string& name,
                 const char* what)
{
    for (const auto& [text, value] : table) {
        if (name == text) {
            return value;
        }
    }
    throw std::invalid_argument(std::string("unknown ") + what + " \"" + name + "\"");
}

DirectoryBehaviour::Mode directoryMode(const std::string& name)
{
    using Mode = DirectoryBehaviour::Mode;
    const std::pair<const char*, Mode> modes[] = {
        {"answer", Mode::answer},
        {"refuse", Mode::refuse},
        {"close", Mode::closeAtOnce},
        {"stall", Mode::stall},
    };
    return namedValue(modes, name, "directory mode");
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
    return namedValue(modes, name, "DBProxy mode");
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
    return namedValue(kinds, name, "reply cipher");
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

} // namespace

std::optional<ServiceOptions> parseServiceOptions(const std::vector<std::string>& args)
{
    ServiceOptions options;
    for (ArgumentReader arguments(args); arguments.more();) {
        const std::string name = arguments.name();
        auto next = [&]() -> const std::string& { return arguments.value(); };
        auto shaping = [](ReplyShaping& target, std::size_t limit, bool frame) {
            (frame ? target.frameLimit : target.bodyLimit) = limit;
        };
        DirectoryBehaviour& dir = options.directory;
        DBProxyBehaviour& proxy = options.dbproxy;
        if (name == "--help" || name == "-h") {
            std::cout << serviceUsage;
            return std::nullopt;
        } else if (name == "--directory") {
            options.directories.push_back(parseEndpoint(next()));
        } else if (name == "--dbproxy") {
            options.dbproxies.push_back(parseEndpoint(next()));
        } else if (name == "--list") {
            options.listed.push_back(parseEntry(next()));
            options.listGiven = true;
        } else if (name == "--advertise") {
            options.advertise = next();
            if (isWildcard(options.advertise)) {
                throw std::invalid_argument("--advertise needs an address clients can reach, "
                                            "not 0.0.0.0");
            }
        } else if (name == "--idle-timeout") {
            options.idleTimeout = std::chrono::milliseconds(parseNumber(next(), 86400000));
            if (options.idleTimeout.count() == 0) {
                throw std::invalid_argument("--idle-timeout must be at least 1 ms");
            }
        } else if (name == "--max-connections") {
            options.maxConnections = parseNumber(next(), 65536);
            if (options.maxConnections == 0) {
                throw std::invalid_argument("--max-connections must be at least 1");
            }
        } else if (name == "--max-connections-per-address") {
            options.maxConnectionsPerAddress = parseNumber(next(), 65536);
            if (options.maxConnectionsPerAddress == 0) {
                throw std::invalid_argument("--max-connections-per-address must be at least 1");
            }
        } else if (name == "--connection-lifetime") {
            options.connectionLifetime = std::chrono::milliseconds(parseNumber(next(), 86400000));
            if (options.connectionLifetime.count() == 0) {
                throw std::invalid_argument("--connection-lifetime must be at least 1 ms");
            }
        } else if (name == "--registrations-per-minute") {
            options.registrationsPerMinute = parseNumber(next(), 1000000000);
        } else if (name == "--metrics") {
            options.metrics = parseEndpoint(next());
        } else if (name == "--verbose") {
            options.verbose = true;
        } else if (name == "--database") {
            options.database = next();
        } else if (name == "--duplicate-status") {
            proxy.duplicateStatus = parse16(next());
        } else if (name == "--retry-window") {
            proxy.retryWindow = std::chrono::milliseconds(parseNumber(next(), 86400000));
        } else if (name == "--store-timeout") {
            options.storeTimeout = std::chrono::milliseconds(parseNumber(next(), 86400000));
        } else if (name == "--oversize-status") {
            proxy.oversizeStatus = parse16(next());
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
    // The shortest expansion: the smallest row number and an empty text.
    const std::size_t shortestResult = expandResult(options.dbproxy.result, 1, {}).size();
    if (!resultFitsReply(shortestResult)) {
        throw std::invalid_argument(
            "--result: a result of " + std::to_string(shortestResult) +
            " bytes even for an empty text cannot fit the registration reply's 16-bit "
            "length; at most 65,520 bytes do");
    }
    if (!options.listGiven && !options.directories.empty() && options.advertise.empty()) {
        for (const Endpoint& dbproxy : options.dbproxies) {
            if (isWildcard(dbproxy.address)) {
                throw std::invalid_argument(
                    "--dbproxy " + dbproxy.address + ":" + std::to_string(dbproxy.port) +
                    " listens on every interface, so the directory cannot list it by that "
                    "address: give --advertise ADDR, the address clients reach this machine by");
            }
        }
    }
    return options;
}

std::optional<ExportOptions> parseExportOptions(const std::vector<std::string>& args)
{
    ExportOptions options;
    for (ArgumentReader arguments(args); arguments.more();) {
        const std::string name = arguments.name();
        if (name == "--help" || name == "-h") {
            std::cout << exportUsage;
            return std::nullopt;
        } else if (name == "--database") {
            options.database = arguments.value();
        } else if (name == "--format") {
            const std::string& format = arguments.value();
            if (format == "csv") {
                options.format = ExportOptions::Format::csv;
            } else if (format == "jsonl") {
                options.format = ExportOptions::Format::jsonl;
            } else {
                throw std::invalid_argument("unknown export format \"" + format +
                                            "\" (csv or jsonl)");
            }
        } else {
            throw std::invalid_argument("unknown export option " + name + " (see export --help)");
        }
    }
    if (options.database.empty()) {
        throw std::invalid_argument("export needs --database PATH");
    }
    return options;
}

std::optional<MigrateOptions> parseMigrateOptions(const std::vector<std::string>& args)
{
    MigrateOptions options;
    for (ArgumentReader arguments(args); arguments.more();) {
        const std::string name = arguments.name();
        if (name == "--help" || name == "-h") {
            std::cout << migrateUsage;
            return std::nullopt;
        } else if (name == "--from") {
            options.from = arguments.value();
        } else if (name == "--to") {
            options.to = arguments.value();
        } else {
            throw std::invalid_argument("unknown migrate option " + name + " (see migrate --help)");
        }
    }
    if (options.from.empty() || options.to.empty()) {
        throw std::invalid_argument("migrate needs --from and --to");
    }
    if (options.from == options.to) {
        throw std::invalid_argument("migrate needs two different stores");
    }
    return options;
}

std::vector<DirectoryEntry> defaultListing(const ServiceOptions& options,
                                           const std::vector<Endpoint>& boundDBProxies)
{
    std::vector<DirectoryEntry> listed;
    for (const Endpoint& bound : boundDBProxies) {
        const bool wildcard = isWildcard(bound.address) && !options.advertise.empty();
        listed.push_back({"DBProxy", bound.port, wildcard ? options.advertise : bound.address, 0});
    }
    return listed;
}

} // namespace testservice
