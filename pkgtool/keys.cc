// pkgtool keygen and sign: their options, then the key pair or the
// signature (signing.h does the work).
#include "commands.h"

#include <cstdio>

#include "command_line.h"
#include "signing.h"

namespace pkgtool {

// keygen's or sign's options, then (sign) the package.
static int commandKeys(const std::string &command, int argc, char **argv)
{
    std::string secret, pub, minisig, comment;
    std::vector<std::string> positional;
    bool commentGiven = false;
    for (int i = 0; i < argc; i++) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (command == "keygen" && a == "--secret" && more)
            secret = argv[++i];
        else if (command == "keygen" && a == "--public" && more)
            pub = argv[++i];
        else if (command == "sign" && a == "--key" && more)
            secret = argv[++i];
        else if (command == "sign" && a == "--minisig" && more)
            minisig = argv[++i];
        else if (command == "sign" && a == "--comment" && more)
            comment = argv[++i], commentGiven = true;
        else if (a.size() > 1 && a[0] == '-')
            return usageError(command + ": unexpected or incomplete option '" + a + "'");
        else
            positional.push_back(a);
    }
    std::string problem;
    if (command == "keygen") {
        if (secret.empty() || pub.empty() || !positional.empty())
            return usageError("keygen takes --secret SECRET_KEY --public PUBLIC_KEY");
        problem = generateKeys(secret, pub);
    } else {
        if (secret.empty() || positional.size() != 1)
            return usageError("sign takes --key SECRET_KEY and one package");
        if (commentGiven && comment.empty())
            return usageError("sign: --comment takes a text");
        problem = signPackage(SignOptions{positional[0], secret, minisig, comment});
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "pkgtool: %s\n", problem.c_str());
        return 1;
    }
    return 0;
}

int commandKeygen(int argc, char **argv)
{
    return commandKeys("keygen", argc, argv);
}

int commandSign(int argc, char **argv)
{
    return commandKeys("sign", argc, argv);
}

} // namespace pkgtool
