// Fuzz target: the tool's command line from a record (command, arguments,
// argument mode) and the user's arguments, and the quoting of a folder for
// the shell.  Input layout (easy to write by hand for seeds):
//   byte 0   argument mode: 0, 1, 2, or (any other value) that value - 3
//   byte 1   command buffer size: 0 the driver's 2048, else that many bytes
//   byte 2   value buffer size: 0 the driver's 1024, else that many bytes
//   rest     fields separated by '\n': command, record arguments, then the
//            user's arguments (at most 64).
// The results are compared with a plain model of the assembly rules.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "launcher/installer.h"

namespace {

const char GUARD = '\x7f';

void check(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "cmdline_fuzz: property violated: %s\n", what);
        abort();
    }
}

bool takesValue(const std::string &arg)
{
    if (arg.size() < 2)
        return false;
    char c = arg[1];
    return c == 'd' || c == 'i' || c == 'r' || c == 'u' || arg == "-html";
}

// A user's argument as one shell word: as it is when it holds only letters,
// digits and - _ . / , : + = @ % (and is not empty), else in double quotes
// with $ ` " \ escaped.
std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text)
        out += (c == '$' || c == '`' || c == '"' || c == '\\' ? "\\" : "") + std::string(1, c);
    return out + "\"";
}

std::string word(const std::string &arg)
{
    bool plain = !arg.empty();
    for (char c : arg)
        plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || std::string("-_./,:+=@%").find(c) !=
                                                        std::string::npos);
    return plain ? arg : quoted(arg);
}

// The assembly rules: the line, or the first bound that it breaks.
int modelLine(std::string &line, size_t outSize, size_t valueSize, const std::string &command,
              const std::string &args, int32_t mode, const std::vector<std::string> &user)
{
    int argc = static_cast<int>(user.size()) + 1;
    auto fits = [&] { return line.size() < outSize; };
    line = command;
    if (!fits())
        return CMDLINE_TOO_LONG;
    if (argc == 1 || mode != 0) {
        line += " ";
        if (!fits())
            return CMDLINE_TOO_LONG;
        line += args;
        if (!fits())
            return CMDLINE_TOO_LONG;
    }
    if (argc <= 1 || mode == 2)
        return CMDLINE_OK;
    for (size_t i = 0; i < user.size(); i++) {
        line += " ";
        if (!fits())
            return CMDLINE_TOO_LONG;
        line += word(user[i]);
        if (!fits())
            return CMDLINE_TOO_LONG;
        if (!takesValue(user[i]) || i + 1 >= user.size() || user[i + 1][0] == '-')
            continue;
        if (i + 2 < user.size() && user[i + 2][0] != '-')
            continue;
        std::string value = " " + quoted(user[i + 1]);
        if (value.size() >= valueSize)
            return CMDLINE_VALUE_TOO_LONG;
        line += value;
        if (!fits())
            return CMDLINE_TOO_LONG;
        i++;
    }
    return CMDLINE_OK;
}

// A heap block of exactly size bytes (so that the sanitizer sees any write
// past it), plus one guard byte for size 0.
std::vector<char> block(size_t size)
{
    return std::vector<char>(size ? size : 1, GUARD);
}

void checkBuild(size_t outSize, size_t valueSize, const std::string &command,
                const std::string &args, int32_t mode, const std::vector<std::string> &user)
{
    std::vector<std::string> storage = {"launcher"};
    storage.insert(storage.end(), user.begin(), user.end());
    std::vector<char *> argv;
    for (auto &s : storage)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    // Separate heap blocks of the exact sizes.
    char *out = static_cast<char *>(malloc(outSize ? outSize : 1));
    char *value = static_cast<char *>(malloc(valueSize ? valueSize : 1));
    memset(out, GUARD, outSize ? outSize : 1);
    memset(value, GUARD, valueSize ? valueSize : 1);

    int r = buildToolCommand(out, outSize, value, valueSize, command.c_str(), args.c_str(), mode,
                             static_cast<int>(argv.size()) - 1, argv.data());
    std::string want;
    int expected = modelLine(want, outSize, valueSize, command, args, mode, user);
    check(r == expected, "the result is the one the assembly rules give");
    if (outSize == 0) {
        check(out[0] == GUARD, "an empty buffer is not written");
    } else {
        check(memchr(out, '\0', outSize) != NULL, "the line is terminated within its buffer");
    }
    if (r == CMDLINE_OK) {
        check(want == out, "the line is the one the assembly rules give");
        check(strncmp(out, command.c_str(), command.size()) == 0,
              "the line starts with the command");
    }
    free(out);
    free(value);
}

void checkQuote(size_t size, const std::string &text)
{
    std::vector<char> out = block(size);
    int r = shellQuote(out.data(), size, text.c_str());
    size_t specials = 0;
    for (char c : text)
        specials += c == '$' || c == '`' || c == '"' || c == '\\';
    check((r == 0) == (text.size() + specials + 3 <= size),
          "quoting fails exactly when the word does not fit");
    if (r != 0)
        return;
    size_t len = strnlen(out.data(), size);
    check(len < size, "the quoted word is terminated within its buffer");
    check(len >= 2 && out[0] == '"' && out[len - 1] == '"', "the word is enclosed in quotes");
    std::string inner;
    for (size_t i = 1; i + 1 < len; i++) {
        char c = out[i];
        if (c == '\\') {
            check(i + 2 < len, "a backslash is never the last character inside the quotes");
            char next = out[++i];
            check(next == '$' || next == '`' || next == '"' || next == '\\',
                  "a backslash only ever escapes $ ` \" or \\");
            inner += next;
        } else {
            check(c != '$' && c != '`' && c != '"',
                  "every $ ` \" inside the quotes is escaped");
            inner += c;
        }
    }
    check(inner == text, "the shell reads back the original text");
}

void checkAbsolute(size_t size, const std::string &folder, const std::string &cwd)
{
    std::vector<char> out = block(size);
    int r = absoluteFolder(out.data(), size, folder.c_str(), cwd.c_str());
    std::string want;
    bool possible = true;
    if (!folder.empty() && folder[0] == '/')
        want = folder;
    else if (cwd.empty())
        possible = false;
    else
        want = cwd + (cwd[0] == '/' ? "/" : "\\") + folder;
    possible = possible && want.size() < size;
    check((r == 0) == possible, "the folder is refused exactly when it cannot be named");
    if (r == 0)
        check(want == out.data(), "the folder is cwd, a separator and the folder");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    int32_t mode = data[0] <= 2 ? data[0] : static_cast<int32_t>(data[0]) - 3;
    size_t outSize = data[1] ? data[1] : CMD_BUFFER_SIZE;
    size_t valueSize = data[2] ? data[2] : VALUE_BUFFER_SIZE;

    std::vector<std::string> fields(1);
    for (size_t i = 3; i < size; i++) {
        if (data[i] == '\n') {
            if (fields.size() == 66)
                break;
            fields.emplace_back();
        } else {
            fields.back() += static_cast<char>(data[i]);
        }
    }
    // Strings as C sees them: up to the first NUL.
    for (auto &f : fields)
        f = std::string(f.c_str());
    while (fields.size() < 2)
        fields.emplace_back();
    const std::string &command = fields[0];
    const std::string &args = fields[1];
    std::vector<std::string> user(fields.begin() + 2, fields.end());

    checkBuild(outSize, valueSize, command, args, mode, user);
    // The driver's buffers as well, whatever sizes the input asked for.
    if (outSize != CMD_BUFFER_SIZE || valueSize != VALUE_BUFFER_SIZE)
        checkBuild(CMD_BUFFER_SIZE, VALUE_BUFFER_SIZE, command, args, mode, user);
    checkBuild(0, 0, command, args, mode, user);

    // Quoting and absolute folders on the same words.
    size_t small = data[1] ? data[1] : EXTRACT_FOLDER_SIZE;
    for (const auto &f : fields) {
        checkQuote(small, f);
        checkQuote(EXTRACT_FOLDER_SIZE, f);
    }
    checkAbsolute(small, args, command);
    checkAbsolute(EXTRACT_FOLDER_SIZE, args, command);
    return 0;
}
