// What an executable asks of the host it runs on, read from its ELF headers:
// class, machine, program interpreter, shared libraries and the newest
// glibc symbol version.  The reader takes any bytes, hostile ones too: it
// never reads outside the buffer and refuses what it cannot follow.
#ifndef PKGTOOL_ELFINFO_H
#define PKGTOOL_ELFINFO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pkgtool {

// e_machine values the packages care about.
enum ElfMachine : uint16_t {
    // 32-bit PowerPC, which runs on PPC hosts; the machines of the stub
    // sets are common/architectures.txt's.
    ELF_MACHINE_PPC = 20,
};

struct ElfInfo {
    int elfClass = 0;          // 32 or 64
    bool bigEndian = false;
    uint16_t machine = 0;      // e_machine
    std::string interpreter;   // PT_INTERP, "" when there is none
    std::vector<std::string> needed; // DT_NEEDED, in their order
    std::string glibc;         // the highest GLIBC_x.y[.z] asked for, as "x.y[.z]", or ""
    // No interpreter and no shared library: runs on any Linux kernel of its
    // machine.  (A static PIE has a dynamic section, but needs neither.)
    bool isStatic() const { return interpreter.empty() && needed.empty(); }
};

// Reads the ELF headers of the executable in data[0..size).  Result: "" on
// success with info filled, else the problem ("not an ELF file", "the
// program headers lie beyond the file", ...), info then unspecified.
std::string readElfInfo(const unsigned char *data, size_t size, ElfInfo &info);

// The machine's name as users know it ("x86-64", "i386", "AArch64",
// "PowerPC64 little-endian", "IBM S/390 big-endian"), or "machine N" for
// any other e_machine.  PowerPC64 and S/390 always name their byte order;
// the others only an unusual big-endian one.
std::string elfMachineName(uint16_t machine, bool bigEndian);

// The architecture codes of the hosts that run an executable of this
// machine: i386 ones run on x86 and on x86-64 hosts, the others on hosts of
// their own kind.  Empty for a machine that no code names.
std::vector<int32_t> elfHostArchitectures(uint16_t machine);

// Compares two dotted version numbers ("2.7" < "2.14" < "2.34", "2.3" <
// "2.3.4") part by part as numbers.  Result: <0, 0 or >0 as a < b.
int compareVersions(const std::string &a, const std::string &b);

} // namespace pkgtool

#endif
