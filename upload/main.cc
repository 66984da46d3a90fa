// trell-upload: sends a file with the OS-services layer's uploadFile, for
// administrators and scripts on the machine where trell is installed.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include "os/osspecific.h"
#include "trell_version.h"

static const char usage[] =
    "Usage: trell-upload [OPTION]... URL FILE\n"
    "\n"
    "Sends FILE to URL over HTTPS, FTPS, FTP or SFTP.  A URL that ends in \"/\" gets\n"
    "FILE's own name.\n"
    "  https://HOST/PATH      PUT; with --form, a POST of multipart/form-data\n"
    "  ftps://HOST/PATH       FTP over TLS from the start (implicit TLS)\n"
    "  ftp://HOST/PATH        FTP, with TLS (AUTH TLS) whenever the server offers it\n"
    "  sftp://[USER@]HOST/PATH  SFTP (PATH absolute, or /~/... in the home folder)\n"
    "\n"
    "Options:\n"
    "  --ca-file F       verify TLS servers with the CA certificates in F (PEM)\n"
    "                    instead of the system's store.  TLS is always verified: a\n"
    "                    wrong name, an expired certificate or an unknown CA is refused\n"
    "  --form FIELD      https: POST the file as the form field FIELD\n"
    "  --checksum        then send NAME.sha256 beside it, a line in sha256sum's format\n"
    "  --require-tls     ftp: refuse a server that does not offer TLS\n"
    "  --retries N       tries after a transient failure, 0 to 10 (default 3)\n"
    "  --netrc F         credentials: a netrc file (machine HOST login USER password\n"
    "                    PASSWORD); or, for a URL that names a user, a file whose\n"
    "                    first line is that user's password\n"
    "  --ssh-key F       sftp: log in with this private key (PEM, no passphrase)\n"
    "  --known-hosts F   sftp: the known-hosts file that holds the server's host key\n"
    "                    (default ~/.ssh/known_hosts); an unknown or changed key is\n"
    "                    refused\n"
    "  --timeout S       seconds to connect, and that a transfer may go on without\n"
    "                    progress, 1 to 3600 (default 30)\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "A transient failure (no connection or a broken one, a time-out, HTTP 5xx or\n"
    "429) is tried again after 1, 2, 4... seconds (at most 30 between tries); FTP,\n"
    "FTPS and SFTP then resume from what the server holds, HTTPS starts over.  A\n"
    "permanent failure (another HTTP 4xx, a refused login) is not tried again.\n"
    "Passwords are never taken from the command line, and never shown.  On a\n"
    "terminal, standard error shows the progress of an upload that takes more\n"
    "than a second, and each failed try.\n"
    "\n"
    "Exit status: 0 when the file (and its checksum file) arrived, 1 when the\n"
    "upload failed, 2 on bad usage.\n";

static int usageError(const char *text)
{
    if (text[0] != '\0')
        fprintf(stderr, "trell-upload: %s\n", text);
    fprintf(stderr, "Try 'trell-upload --help'.\n");
    return 2;
}

// A whole decimal number from low to high, else -1.
static long number(const char *text, long low, long high)
{
    char *end;
    const long value = strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high ? value : -1;
}

int main(int argc, char **argv)
{
    enum { CA_FILE = 256, FORM, CHECKSUM, REQUIRE_TLS, RETRIES, NETRC, SSH_KEY, KNOWN_HOSTS,
           TIMEOUT, HELP, VERSION };
    static const struct option longOptions[] = {
        {"ca-file", required_argument, NULL, CA_FILE},
        {"form", required_argument, NULL, FORM},
        {"checksum", no_argument, NULL, CHECKSUM},
        {"require-tls", no_argument, NULL, REQUIRE_TLS},
        {"retries", required_argument, NULL, RETRIES},
        {"netrc", required_argument, NULL, NETRC},
        {"ssh-key", required_argument, NULL, SSH_KEY},
        {"known-hosts", required_argument, NULL, KNOWN_HOSTS},
        {"timeout", required_argument, NULL, TIMEOUT},
        {"help", no_argument, NULL, HELP},
        {"version", no_argument, NULL, VERSION},
        {NULL, 0, NULL, 0}};
    UploadOptions options = UPLOAD_OPTIONS_DEFAULT;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, "", longOptions, NULL)) != -1) {
        switch (option) {
        case CA_FILE: options.caFile = optarg; break;
        case FORM: options.formField = optarg; break;
        case CHECKSUM: options.checksum = 1; break;
        case REQUIRE_TLS: options.requireTls = 1; break;
        case NETRC: options.credentials = optarg; break;
        case SSH_KEY: options.sshKey = optarg; break;
        case KNOWN_HOSTS: options.knownHosts = optarg; break;
        case RETRIES:
            options.retries = (int)number(optarg, 0, UPLOAD_MAX_RETRIES);
            if (options.retries < 0)
                return usageError("--retries takes a number from 0 to 10");
            break;
        case TIMEOUT:
            options.timeout = (int)number(optarg, 1, UPLOAD_MAX_TIMEOUT);
            if (options.timeout < 0)
                return usageError("--timeout takes a number of seconds from 1 to 3600");
            break;
        case HELP:
            fputs(usage, stdout);
            return 0;
        case VERSION:
            puts("trell-upload " TRELL_VERSION);
            return 0;
        default:
            fprintf(stderr, "trell-upload: unknown option, or one without its value: %s\n",
                    argv[optind - 1]);
            return usageError("");
        }
    }
    if (argc - optind != 2)
        return usageError("give a URL and a FILE");
    return uploadFile(argv[optind], argv[optind + 1], &options) == 0 ? 0 : 1;
}
