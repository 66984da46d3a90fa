#include "signing.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sodium.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/io_loops.h"
#include "../common/pkg_container.h"
#include "file_checks.h"
#include "temp_output.h"
#include "version_mark.h"

namespace pkgtool {

namespace {

// minisign's secret key, unencrypted: algorithm "Ed", no key derivation,
// checksum algorithm "B2", salt and limits (zero here), then the key ID,
// the Ed25519 secret key and a checksum (zero in unencrypted keys).
enum {
    SK_KDF_OFFSET = 2,
    SK_KEY_ID_OFFSET = 54,
    SK_KEY_OFFSET = 62,
    SK_BLOB_SIZE = 158
};

void initSodium()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be set up");
}

std::string base64(const unsigned char *data, size_t size)
{
    std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&out[0], out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

// The base64 of the second line of a minisign file.  Result: true with the
// bytes, false when the text has no such line.
bool secondLine(const std::string &text, std::vector<unsigned char> &out)
{
    const size_t nl = text.find('\n');
    if (nl == std::string::npos || text.compare(0, 18, "untrusted comment:") != 0)
        return false;
    std::string line = text.substr(nl + 1, text.find('\n', nl + 1) - nl - 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    out.resize(line.size());
    size_t got = 0;
    const char *end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), line.data(), line.size(), nullptr, &got, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != line.data() + line.size())
        return false;
    out.resize(got);
    return true;
}

std::string keyIdText(const unsigned char *keyId)
{
    char text[MINISIGN_KEY_ID_TEXT_SIZE];
    minisignKeyIdText(keyId, text);
    return text;
}

// Writes text to a new file (never over an existing one) of the mode.
std::string writeNewFile(const std::string &path, const std::string &text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return "cannot create " + path + ": " + std::strerror(errno);
    bool ok = ioWriteAll(fd, text.data(), text.size()) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(path.c_str());
        return "cannot write " + path + ": " + std::strerror(errno);
    }
    return "";
}

struct SecretKey {
    unsigned char keyId[MINISIGN_KEY_ID_SIZE];
    unsigned char key[crypto_sign_SECRETKEYBYTES];
};

std::string readSecretKey(const std::string &path, SecretKey &out)
{
    std::vector<unsigned char> text, blob;
    std::string error;
    if (!readRegularFile(path, "secret key", 4096, text, error))
        return error;
    if (!secondLine(std::string(text.begin(), text.end()), blob) || blob.size() != SK_BLOB_SIZE ||
        std::memcmp(blob.data(), "Ed", 2) != 0 || std::memcmp(blob.data() + 4, "B2", 2) != 0)
        return path + " is not a minisign secret key";
    if (blob[SK_KDF_OFFSET] != 0 || blob[SK_KDF_OFFSET + 1] != 0)
        return path + " is an encrypted secret key: pkgtool takes unencrypted ones "
                      "(minisign -G -W, or pkgtool keygen)";
    std::memcpy(out.keyId, blob.data() + SK_KEY_ID_OFFSET, sizeof out.keyId);
    std::memcpy(out.key, blob.data() + SK_KEY_OFFSET, sizeof out.key);
    sodium_memzero(blob.data(), blob.size());
    return "";
}

// BLAKE2b-512 of the first size bytes of a file, read through one buffer.
bool hashPrefix(const std::string &path, uint64_t size, unsigned char *hash, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    std::vector<char> buffer(1 << 20);
    for (uint64_t left = size; left > 0;) {
        const size_t n = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
        if (!in.read(buffer.data(), static_cast<std::streamsize>(n))) {
            error = "cannot read " + path;
            return false;
        }
        crypto_generichash_update(&state, reinterpret_cast<unsigned char *>(buffer.data()), n);
        left -= n;
    }
    crypto_generichash_final(&state, hash, crypto_generichash_BYTES_MAX);
    return true;
}

} // namespace

std::string generateKeys(const std::string &secretPath, const std::string &publicPath)
{
    initSodium();
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    unsigned char keyId[MINISIGN_KEY_ID_SIZE];
    crypto_sign_keypair(pk, sk);
    randombytes_buf(keyId, sizeof keyId);
    std::vector<unsigned char> secret(SK_BLOB_SIZE, 0);
    std::memcpy(secret.data(), "Ed", 2);
    std::memcpy(secret.data() + 4, "B2", 2);
    std::memcpy(secret.data() + SK_KEY_ID_OFFSET, keyId, sizeof keyId);
    std::memcpy(secret.data() + SK_KEY_OFFSET, sk, sizeof sk);
    std::vector<unsigned char> pub(MINISIGN_PUBLIC_BLOB_SIZE);
    std::memcpy(pub.data(), "Ed", 2);
    std::memcpy(pub.data() + 2, keyId, sizeof keyId);
    std::memcpy(pub.data() + 2 + sizeof keyId, pk, sizeof pk);
    const std::string id = keyIdText(keyId);
    std::string secretText = "untrusted comment: minisign encrypted secret key\n" +
                             base64(secret.data(), secret.size()) + "\n";
    sodium_memzero(sk, sizeof sk);
    sodium_memzero(secret.data(), secret.size());
    std::string problem = writeNewFile(publicPath, "untrusted comment: minisign public key " + id +
                                                       "\n" + base64(pub.data(), pub.size()) + "\n",
                                       0644);
    if (problem.empty()) {
        problem = writeNewFile(secretPath, secretText, 0600);
        if (!problem.empty())
            unlink(publicPath.c_str());
    }
    sodium_memzero(&secretText[0], secretText.size());
    return problem;
}

std::string readPublicKey(const std::string &path, MinisignPublicKey &key)
{
    std::vector<unsigned char> text;
    std::string error;
    if (!readRegularFile(path, "public key", 4096, text, error))
        return error;
    if (minisignParsePublicKey(reinterpret_cast<const char *>(text.data()), text.size(), &key) != 0)
        return path + " is not a minisign public key";
    return "";
}

std::string signPackage(const SignOptions &options)
{
    initSodium();
    Package pkg;
    std::vector<std::string> problems;
    if (!readPackage(options.package, pkg, problems))
        return problems.empty() ? "cannot read " + options.package : problems.front();
    std::vector<unsigned char> launcher;
    std::string error;
    if (!readPackageBytes(options.package, 0, pkg.sizes[PKG_ELEM_LAUNCHER], launcher, error))
        return error;
    const std::string mark = PKG_SIGNATURE_SLOT_MARK;
    if (std::search(launcher.begin(), launcher.end(), mark.begin(), mark.end()) == launcher.end())
        return "the package's launcher (element 0) knows no signature slot: it would look for "
               "its directory where the signature lies, and fail; build the package on a "
               "launcher of this pkgtool";
    SecretKey key;
    std::string problem = readSecretKey(options.secretKey, key);
    if (!problem.empty())
        return problem;
    std::string comment = options.trustedComment;
    if (comment.empty()) {
        const size_t slash = options.package.rfind('/');
        comment = "trell package " +
                  (slash == std::string::npos ? options.package : options.package.substr(slash + 1));
    }
    if (comment.size() > PKG_SIG_COMMENT_MAX || comment.find_first_of("\r\n") != std::string::npos)
        return "the trusted comment must be one line of at most " +
               std::to_string(PKG_SIG_COMMENT_MAX) + " bytes";

    unsigned char hash[crypto_generichash_BYTES_MAX];
    if (!hashPrefix(options.package, pkg.signedSize, hash, error))
        return error;
    std::vector<unsigned char> block(PKG_SIG_MIN_SIZE + comment.size(), 0);
    unsigned char *signature = block.data() + PKG_SIG_SIGNATURE_OFFSET;
    std::memcpy(block.data(), PKG_SIG_MAGIC, 8);
    std::memcpy(block.data() + PKG_SIG_ALG_OFFSET, "ED", 2);
    std::memcpy(block.data() + PKG_SIG_KEY_ID_OFFSET, key.keyId, sizeof key.keyId);
    crypto_sign_detached(signature, nullptr, hash, sizeof hash, key.key);
    block[PKG_SIG_COMMENT_LENGTH_OFFSET] = static_cast<unsigned char>(comment.size());
    block[PKG_SIG_COMMENT_LENGTH_OFFSET + 1] = static_cast<unsigned char>(comment.size() >> 8);
    std::memcpy(block.data() + PKG_SIG_COMMENT_OFFSET, comment.data(), comment.size());
    std::vector<unsigned char> signedComment(signature, signature + PKG_SIG_ED25519_SIZE);
    signedComment.insert(signedComment.end(), comment.begin(), comment.end());
    unsigned char *global = block.data() + PKG_SIG_COMMENT_OFFSET + comment.size();
    crypto_sign_detached(global, nullptr, signedComment.data(), signedComment.size(), key.key);
    sodium_memzero(key.key, sizeof key.key);
    unsigned char *trailer = block.data() + block.size() - PKG_SIG_TRAILER_SIZE;
    pkgPutU32(trailer, static_cast<uint32_t>(block.size()));
    std::memcpy(trailer + 8, PKG_SIG_TRAILER_MAGIC, 8);

    // The signed bytes, zeros up to a multiple of 8, the block: written
    // beside the package and renamed over it when whole, with the package's
    // permissions but never setuid, setgid or sticky (the signer may be
    // root, and the package another user's), as build writes them.
    struct stat st;
    if (stat(options.package.c_str(), &st) != 0)
        return "cannot read " + options.package + ": " + std::strerror(errno);
    std::ifstream in(options.package, std::ios::binary);
    int fd = tempOutputCreate(options.package);
    if (fd < 0)
        return "cannot write " + options.package + ": " + std::strerror(errno);
    std::vector<char> buffer(1 << 20);
    bool ok = true;
    for (uint64_t left = pkg.signedSize; ok && left > 0;) {
        const size_t n = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
        ok = static_cast<bool>(in.read(buffer.data(), static_cast<std::streamsize>(n))) &&
             ioWriteAll(fd, buffer.data(), n) == 0;
        left -= n;
    }
    const unsigned char zeros[PKG_SIG_ALIGN] = {};
    const size_t align = (PKG_SIG_ALIGN - pkg.signedSize % PKG_SIG_ALIGN) % PKG_SIG_ALIGN;
    ok = ok && ioWriteAll(fd, zeros, align) == 0 &&
         ioWriteAll(fd, block.data(), block.size()) == 0 &&
         fchmod(fd, st.st_mode & 0777) == 0 && fsync(fd) == 0;
    const int savedErrno = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        tempOutputDiscard();
        return "cannot write " + options.package + ": " + std::strerror(savedErrno);
    }
    if (!options.minisig.empty()) {
        const std::string text =
            "untrusted comment: signature from pkgtool secret key\n" +
            base64(block.data() + PKG_SIG_ALG_OFFSET, 2 + MINISIGN_KEY_ID_SIZE + PKG_SIG_ED25519_SIZE) +
            "\ntrusted comment: " + comment + "\n" + base64(global, PKG_SIG_ED25519_SIZE) + "\n";
        problem = writeNewFile(options.minisig, text, 0644);
        if (!problem.empty()) {
            tempOutputDiscard();
            return problem;
        }
    }
    if (tempOutputCommit(options.package) != 0)
        return "cannot write " + options.package + ": " + std::strerror(errno);
    return "";
}

SignatureState checkSignature(const std::string &path, const Package &pkg,
                              const std::vector<MinisignPublicKey> &keys, std::string &error)
{
    initSodium();
    SignatureState s;
    if (pkg.signatureSize == 0)
        return s;
    s.signedPackage = true;
    std::vector<unsigned char> block;
    if (!readPackageBytes(path, static_cast<int64_t>(pkg.fileSize - pkg.signatureSize),
                          static_cast<int32_t>(pkg.signatureSize), block, error))
        return s;
    PkgSignature sig;
    s.sound = pkgParseSignature(block.data(), static_cast<uint32_t>(block.size()), &sig) == 0;
    if (!s.sound)
        return s;
    s.keyId = keyIdText(sig.keyId);
    s.trustedComment.assign(reinterpret_cast<const char *>(sig.comment), sig.commentLength);
    for (const MinisignPublicKey &key : keys) {
        if (std::memcmp(key.keyId, sig.keyId, MINISIGN_KEY_ID_SIZE) != 0)
            continue;
        unsigned char hash[crypto_generichash_BYTES_MAX];
        if (!hashPrefix(path, pkg.signedSize, hash, error))
            return s;
        std::vector<unsigned char> signedComment(sig.signature,
                                                 sig.signature + PKG_SIG_ED25519_SIZE);
        signedComment.insert(signedComment.end(), s.trustedComment.begin(), s.trustedComment.end());
        s.trusted = (crypto_sign_verify_detached(sig.signature, hash, sizeof hash, key.key) == 0 &&
                     crypto_sign_verify_detached(sig.globalSignature, signedComment.data(),
                                                 signedComment.size(), key.key) == 0)
                        ? 1
                        : 0;
        break;
    }
    return s;
}

} // namespace pkgtool
