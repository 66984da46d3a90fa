// pkgtool's commands, each in the file of its name (build.cc, info.cc,
// verify.cc, keys.cc for keygen and sign, list.cc, unpack.cc, host.cc,
// sbom.cc).  Each takes
// the arguments that follow the command's name on the command line.
// Result: the exit status: 0 on success, 1 on a bad package, a failed
// build or unpacking, 2 on bad usage.
#ifndef PKGTOOL_COMMANDS_H
#define PKGTOOL_COMMANDS_H

namespace pkgtool {

int commandBuild(int argc, char **argv);
int commandInfo(int argc, char **argv);
int commandVerify(int argc, char **argv);
int commandKeygen(int argc, char **argv);
int commandSign(int argc, char **argv);
int commandList(int argc, char **argv);
int commandUnpack(int argc, char **argv);
int commandHost(int argc, char **argv);
int commandSbom(int argc, char **argv);

} // namespace pkgtool

#endif
