// Signed packages: minisign's keys and signatures (Ed25519 over the
// BLAKE2b-512 of the signed bytes), in the package's signature slot and as
// detached .minisig files that minisign -V checks.
#ifndef PKGTOOL_SIGNING_H
#define PKGTOOL_SIGNING_H

#include <string>
#include <vector>

#include "../common/minisign.h"
#include "package_file.h"

namespace pkgtool {

// Writes a new key pair in minisign's formats: an unencrypted secret key
// (mode 0600) and its public key.  Existing files are never replaced.
// Result: empty, or the problem.
std::string generateKeys(const std::string &secretPath, const std::string &publicPath);

// Reads a public key file.  Result: empty with key filled, or the problem.
std::string readPublicKey(const std::string &path, MinisignPublicKey &key);

struct SignOptions {
    std::string package;
    std::string secretKey;
    std::string minisig;        // also write a detached signature here, when given
    std::string trustedComment; // empty: "trell package NAME"
};

// Signs the package from its first byte through its end marker and puts the
// signature block into its slot, replacing an earlier one.  Refuses a
// package whose launcher knows no signature slot.  Result: empty, or the
// problem (the package is then as it was).
std::string signPackage(const SignOptions &options);

// A package's signature as it stands.
struct SignatureState {
    bool signedPackage = false;
    bool sound = false;             // the block reads as a signature block
    std::string keyId;              // as minisign shows it
    std::string trustedComment;
    int trusted = -1;               // -1 no key of that ID given; 0 it does not match; 1 it does
};

// Reads the signature of a located package and checks it against whichever
// of keys has its key ID.  Result: the state (problems reading the file go
// to error).
SignatureState checkSignature(const std::string &path, const Package &pkg,
                              const std::vector<MinisignPublicKey> &keys, std::string &error);

} // namespace pkgtool

#endif
