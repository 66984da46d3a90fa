// A host's trust store: where it holds public keys, the launcher runs only
// packages signed by one of them (minisign's Ed25519 over the BLAKE2b-512
// of the signed bytes, the package through its end marker).
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium/crypto_generichash_blake2b.h>
#include <sodium/crypto_sign_ed25519.h>

#include "../common/minisign.h"
#include "../common/pkg_container.h"
#include "../os/osspecific.h"
#include "installer.h"

enum { MAX_TRUSTED_KEYS = 64, KEY_FILE_MAX = 1024 };

static MinisignPublicKey keys[MAX_TRUSTED_KEYS];

// Only its owner (the user, or root) may change what decides trust.
static int ownedSafely(const struct stat *st)
{
    return (st->st_uid == 0 || st->st_uid == geteuid()) && (st->st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Reads the keys of the store.  Result: how many, -1 after a message when
// the store or a key is not safe or not a key.
static int loadKeys(const char *store)
{
    struct stat st;
    if (lstat(store, &st) != 0)
        return 0;
    if (!S_ISDIR(st.st_mode) || !ownedSafely(&st)) {
        fprintf(stderr, "Refused: the trust store %s is not a folder that only its owner may "
                        "change\n", store);
        return -1;
    }
    DIR *dir = opendir(store);
    if (dir == NULL) {
        fprintf(stderr, "Refused: the trust store %s cannot be read\n", store);
        return -1;
    }
    int count = 0;
    struct dirent *e;
    while ((e = readdir(dir)) != NULL) {
        // Every entry counts, dot-files too: a store that holds anything
        // but keys refuses every package rather than none.
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        char text[KEY_FILE_MAX];
        int fd = openat(dirfd(dir), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        int ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ownedSafely(&st);
        ssize_t n = ok ? read(fd, text, sizeof text) : -1;
        if (fd >= 0)
            close(fd);
        if (!ok) {
            fprintf(stderr, "Refused: the trusted key %s/%s is not a regular file that only its "
                            "owner may change\n", store, e->d_name);
            count = -1;
            break;
        }
        if (n <= 0 || count == MAX_TRUSTED_KEYS ||
            minisignParsePublicKey(text, (size_t)n, &keys[count]) != 0) {
            fprintf(stderr, "Refused: %s/%s in the trust store is not a minisign public key%s\n",
                    store, e->d_name, count == MAX_TRUSTED_KEYS ? " (or one too many)" : "");
            count = -1;
            break;
        }
        count++;
    }
    closedir(dir);
    return count;
}

// Hashes the first size bytes of the package.  Result: 0, or -1.
static int hashSignedBytes(int fd, off_t size, unsigned char *hash)
{
    static unsigned char chunk[65536];
    crypto_generichash_blake2b_state state;
    crypto_generichash_blake2b_init(&state, NULL, 0, crypto_generichash_blake2b_BYTES_MAX);
    if (fd_seek(fd, 0, SEEK_SET) != 0)
        return -1;
    for (off_t left = size; left > 0;) {
        uint32_t n = left < (off_t)sizeof chunk ? (uint32_t)left : (uint32_t)sizeof chunk;
        if (fd_read(fd, chunk, n) != (int)n)
            return -1;
        crypto_generichash_blake2b_update(&state, chunk, n);
        left -= n;
    }
    crypto_generichash_blake2b_final(&state, hash, crypto_generichash_blake2b_BYTES_MAX);
    return 0;
}

int checkTrust(const char *store, int fd)
{
    int count = loadKeys(store);
    if (count <= 0)
        return count; // no store or no key: no host is locked out unasked
    if (pkgSignatureBlock == 0) {
        fprintf(stderr, "Refused: this host runs only signed packages (keys in %s), and this "
                        "package is unsigned\n", store);
        return -1;
    }
    static unsigned char block[PKG_SIG_MAX_SIZE];
    const uint32_t size = pkgSignatureBlock;
    const off_t at = lseek(fd, 0, SEEK_END) - (off_t)size;
    PkgSignature sig;
    if (at < pkgSignedSize || pread(fd, block, size, at) != (ssize_t)size ||
        pkgParseSignature(block, size, &sig) != 0) {
        fputs("Refused: this package's signature block is damaged; get the package again\n",
              stderr);
        return -1;
    }
    char id[MINISIGN_KEY_ID_TEXT_SIZE];
    minisignKeyIdText(sig.keyId, id);
    const MinisignPublicKey *key = NULL;
    for (int i = 0; i < count && key == NULL; i++)
        if (memcmp(keys[i].keyId, sig.keyId, MINISIGN_KEY_ID_SIZE) == 0)
            key = &keys[i];
    if (key == NULL) {
        fprintf(stderr, "Refused: this package is signed by key ID %s, which this host does not "
                        "trust (keys in %s)\n", id, store);
        return -1;
    }
    // The signature of the bytes, then the global signature of the
    // signature and its trusted comment, as minisign checks them.
    unsigned char hash[crypto_generichash_blake2b_BYTES_MAX];
    static unsigned char signedComment[PKG_SIG_ED25519_SIZE + PKG_SIG_COMMENT_MAX];
    memcpy(signedComment, sig.signature, PKG_SIG_ED25519_SIZE);
    memcpy(signedComment + PKG_SIG_ED25519_SIZE, sig.comment, sig.commentLength);
    if (hashSignedBytes(fd, pkgSignedSize, hash) != 0 ||
        crypto_sign_ed25519_verify_detached(sig.signature, hash, sizeof hash, key->key) != 0 ||
        crypto_sign_ed25519_verify_detached(sig.globalSignature, signedComment,
                                            PKG_SIG_ED25519_SIZE + sig.commentLength,
                                            key->key) != 0) {
        fprintf(stderr, "Refused: this package's signature by key ID %s does not match it: the "
                        "package was changed after it was signed; get it again\n", id);
        return -1;
    }
    return 0;
}
