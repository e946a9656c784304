#include "test-service/ElGamalKey.h"

#include "test-service/PrivateFile.h"
#include "test-service/Wire.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <openssl/bn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace testservice {

namespace {

struct BnFree {
    void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
struct CtxFree {
    void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using Ctx = std::unique_ptr<BN_CTX, CtxFree>;

Bn checked(BIGNUM* bn)
{
    if (bn == nullptr) {
        throw std::runtime_error("OpenSSL BIGNUM allocation failed");
    }
    return Bn(bn);
}

Bn newBn()
{
    return checked(BN_new());
}

Bn toBn(const Bytes& magnitude)
{
    return checked(BN_bin2bn(magnitude.data(), static_cast<int>(magnitude.size()), nullptr));
}

Bytes fromBn(const BIGNUM* bn)
{
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

// Big-endian, left-padded to width; false when the number needs more room.
bool fromBnPadded(const BIGNUM* bn, std::size_t width, Bytes& out)
{
    out.assign(width, 0);
    return BN_bn2binpad(bn, out.data(), static_cast<int>(width)) >= 0;
}

void ensure(int ok, const char* what)
{
    if (ok != 1) {
        throw std::runtime_error(std::string("OpenSSL ") + what + " failed");
    }
}

void appendDerLength(Bytes& out, std::size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else if (length <= 0xff) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(length));
    } else if (length <= 0xffff) {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        throw std::invalid_argument("DER item longer than 65535 bytes");
    }
}

Bytes stripLeadingZeros(const Bytes& magnitude)
{
    std::size_t first = 0;
    while (first < magnitude.size() && magnitude[first] == 0) {
        ++first;
    }
    return Bytes(magnitude.begin() + static_cast<std::ptrdiff_t>(first), magnitude.end());
}

// x uniformly in [2, q - 1]; y = g^x mod p.
Bytes freshSecret(const BIGNUM* q)
{
    Bn range = newBn();
    Bn x = newBn();
    ensure(BN_sub(range.get(), q, BN_value_one()), "BN_sub");
    ensure(BN_sub(range.get(), range.get(), BN_value_one()), "BN_sub");
    ensure(BN_rand_range(x.get(), range.get()), "BN_rand_range");
    ensure(BN_add_word(x.get(), 2), "BN_add_word");
    return fromBn(x.get());
}

// p = 2q + 1 with g = 2, whose order is q or 2q: either way large enough.
ElGamalKey fromSafePrime(const BIGNUM* p)
{
    Bn q = newBn();
    ensure(BN_rshift1(q.get(), p), "BN_rshift1");
    return ElGamalKey::fromParameters(fromBn(p), fromBn(q.get()), Bytes{2}, freshSecret(q.get()));
}

} // namespace

Bytes derIntegerSequence(const std::vector<Bytes>& magnitudes)
{
    Bytes content;
    for (const Bytes& magnitude : magnitudes) {
        Bytes value = stripLeadingZeros(magnitude);
        if (value.empty() || value[0] >= 0x80) {
            value.insert(value.begin(), 0);
        }
        content.push_back(0x02);
        appendDerLength(content, value.size());
        appendBytes(content, value);
    }
    Bytes blob{0x30};
    appendDerLength(blob, content.size());
    appendBytes(blob, content);
    return blob;
}

ElGamalKey ElGamalKey::fromParameters(Bytes p, Bytes q, Bytes g, Bytes x)
{
    ElGamalKey key;
    key.modulus = stripLeadingZeros(p);
    key.order = stripLeadingZeros(q);
    key.generator = stripLeadingZeros(g);
    key.secret = stripLeadingZeros(x);
    if (key.modulus.size() < 4) {
        throw std::invalid_argument("ElGamal modulus shorter than 32 bits");
    }
    Bn bp = toBn(key.modulus), bg = toBn(key.generator), bx = toBn(key.secret), y = newBn();
    Ctx ctx(BN_CTX_new());
    ensure(ctx != nullptr, "BN_CTX_new");
    ensure(BN_mod_exp(y.get(), bg.get(), bx.get(), bp.get(), ctx.get()), "BN_mod_exp");
    key.publicValue = fromBn(y.get());
    return key;
}

ElGamalKey ElGamalKey::fromGroup(int bits)
{
    Bn p = newBn();
    switch (bits) {
    case 1024:
        ensure(BN_get_rfc2409_prime_1024(p.get()) != nullptr, "BN_get_rfc2409_prime_1024");
        break;
    case 1536:
        ensure(BN_get_rfc3526_prime_1536(p.get()) != nullptr, "BN_get_rfc3526_prime_1536");
        break;
    case 2048:
        ensure(BN_get_rfc3526_prime_2048(p.get()) != nullptr, "BN_get_rfc3526_prime_2048");
        break;
    default:
        throw std::invalid_argument("no published group of " + std::to_string(bits) +
                                    " bits; use 1024, 1536 or 2048, or generate one");
    }
    return fromSafePrime(p.get());
}

ElGamalKey ElGamalKey::generate(int bits)
{
    if (bits < 64 || bits % 8 != 0) {
        throw std::invalid_argument("generated moduli are a multiple of 8 bits, at least 64");
    }
    Bn p = newBn();
    ensure(BN_generate_prime_ex(p.get(), bits, 1, nullptr, nullptr, nullptr),
           "BN_generate_prime_ex");
    return fromSafePrime(p.get());
}

ElGamalKey ElGamalKey::fromFile(const std::string& path)
{
    // As ssh does for its keys: a private key others can read, or one reached
    // through a link someone else may point elsewhere, is not used.
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (S_ISLNK(status.st_mode)) {
            throw std::runtime_error("key file " + path +
                                     " is a symbolic link; give the file itself");
        }
        if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
            throw std::runtime_error("key file " + path + " is open to other users (mode " + mode +
                                     "); chmod 600 " + path);
        }
    }
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read key file " + path);
    }
    Bytes p, q, g, x;
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        const auto equals = line.find('=');
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        if (equals == std::string::npos) {
            throw std::runtime_error("key file line without '=': " + line);
        }
        std::string name = line.substr(0, equals);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        const Bytes value = parseHex(line.substr(equals + 1));
        if (name == "p") {
            p = value;
        } else if (name == "q") {
            q = value;
        } else if (name == "g") {
            g = value;
        } else if (name == "x") {
            x = value;
        } else {
            throw std::runtime_error("unknown key file field: " + name);
        }
    }
    if (p.empty() || g.empty() || x.empty()) {
        throw std::runtime_error("key file " + path + " needs p, g and x (q is optional)");
    }
    if (q.empty()) {
        Bn half = toBn(p);
        ensure(BN_rshift1(half.get(), half.get()), "BN_rshift1");
        q = fromBn(half.get());
    }
    return fromParameters(p, q, g, x);
}

std::string ElGamalKey::fileText() const
{
    auto hexLine = [](const Bytes& bytes) {
        std::string text = hexText(bytes);
        std::erase(text, ' ');
        return text;
    };
    return "# ElGamal private key, big-endian hex\np=" + hexLine(modulus) +
           "\nq=" + hexLine(order) + "\ng=" + hexLine(generator) + "\nx=" + hexLine(secret) + "\n";
}

void ElGamalKey::saveFile(const std::string& path) const
{
    writePrivateFile(path, fileText(), FileExists::replace);
}

ElGamalKey ElGamalKey::fromFileOrCreate(const std::string& path,
                                        const std::function<ElGamalKey()>& create, bool& created)
{
    created = false;
    if (::access(path.c_str(), F_OK) == 0) {
        return fromFile(path);
    }
    ElGamalKey key = create();
    created = writePrivateFile(path, key.fileText(), FileExists::keep);
    // Another process may have created the file first: every server uses
    // the key that is on disk.
    return created ? key : fromFile(path);
}

int ElGamalKey::bits() const
{
    int count = static_cast<int>(modulus.size()) * 8;
    for (std::uint8_t top = modulus.empty() ? 0 : modulus[0]; top < 0x80 && count > 0;
         top = static_cast<std::uint8_t>(top << 1)) {
        --count;
    }
    return count;
}

Bytes ElGamalKey::derBlob() const
{
    return derIntegerSequence({modulus, order, generator, publicValue});
}

ElGamalDecryption ElGamalKey::decrypt(const Bytes& ciphertext) const
{
    ElGamalDecryption result;
    const std::size_t width = modulusBytes();
    const std::size_t perBlock = width - 3;
    if (ciphertext.size() < 4) {
        result.problems.push_back("ciphertext of " + std::to_string(ciphertext.size()) +
                                  " bytes has no block count");
        return result;
    }
    result.blockCount = FieldReader(ciphertext).read32le();
    const std::size_t available = (ciphertext.size() - 4) / (2 * width);
    if (ciphertext.size() != 4 + 2 * width * static_cast<std::size_t>(result.blockCount)) {
        result.problems.push_back("ciphertext of " + std::to_string(ciphertext.size()) +
                                  " bytes for " + std::to_string(result.blockCount) +
                                  " blocks of " + std::to_string(2 * width));
    }
    const std::size_t blocks = std::min<std::size_t>(result.blockCount, available);

    Ctx ctx(BN_CTX_new());
    ensure(ctx != nullptr, "BN_CTX_new");
    Bn p = toBn(modulus), exponent = toBn(modulus), x = toBn(secret);
    ensure(BN_sub_word(exponent.get(), 1), "BN_sub_word");
    ensure(BN_sub(exponent.get(), exponent.get(), x.get()), "BN_sub");
    Bn mask = newBn(), m = newBn();
    for (std::size_t i = 0; i < blocks; ++i) {
        const std::string block = "block " + std::to_string(i) + ": ";
        const auto* at = ciphertext.data() + 4 + 2 * width * i;
        Bn a = checked(BN_bin2bn(at, static_cast<int>(width), nullptr));
        Bn b = checked(BN_bin2bn(at + width, static_cast<int>(width), nullptr));
        if (BN_is_zero(a.get()) || BN_cmp(a.get(), p.get()) >= 0 || BN_is_zero(b.get()) ||
            BN_cmp(b.get(), p.get()) >= 0) {
            result.problems.push_back(block + "a or b not in 1..p-1");
        }
        ensure(BN_mod_exp(mask.get(), a.get(), exponent.get(), p.get(), ctx.get()), "BN_mod_exp");
        ensure(BN_mod_mul(m.get(), b.get(), mask.get(), p.get(), ctx.get()), "BN_mod_mul");
        Bytes t;
        if (!fromBnPadded(m.get(), width - 1, t)) {
            result.problems.push_back(block + "M does not fit in L-1 bytes");
            continue;
        }
        const std::size_t count = t[width - 2];
        const bool last = i + 1 == result.blockCount;
        if (count == 0 || count > perBlock || (!last && count != perBlock)) {
            result.problems.push_back(
                block + "count byte " + std::to_string(count) +
                (last ? " (last block)" : " in a full block of " + std::to_string(perBlock)));
            if (count > perBlock) {
                continue;
            }
        }
        const std::size_t start = width - 2 - count;
        for (std::size_t k = 0; k < start; ++k) {
            if (t[k] != 0) {
                result.problems.push_back(block + "padding byte " + std::to_string(k) +
                                          " is not zero");
                break;
            }
        }
        result.plaintext.insert(result.plaintext.end(),
                                t.begin() + static_cast<std::ptrdiff_t>(start),
                                t.begin() + static_cast<std::ptrdiff_t>(width - 2));
    }
    return result;
}

} // namespace testservice
