// Writes the seccomp programs of the sandbox as a C++ header, at build time: libseccomp
// compiles the rules for this machine's architecture once, so that a confined run pays
// neither its start-up nor its compilation.
//
// The program every confined child gets: setsid succeeds without effect, so that no process
// leaves the call's session and process group; with the network off, no IPv4 or IPv6 socket
// can be made (UDP included) and io_uring, which would bypass the filter, is absent.
#include <linux/filter.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

std::vector<sock_filter> compile(bool noNetwork) {
  scmp_filter_ctx context = seccomp_init(SCMP_ACT_ALLOW);
  if (context == nullptr) return {};
  bool built = seccomp_rule_add(context, SCMP_ACT_ERRNO(0), SCMP_SYS(setsid), 0) == 0;
  if (noNetwork) {
    for (const int family : {AF_INET, AF_INET6}) {
      const scmp_arg_cmp isFamily{0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(family), 0};
      built = built &&
              seccomp_rule_add(context, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socket), 1, isFamily) == 0;
    }
    built = built &&
            seccomp_rule_add(context, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(io_uring_setup), 0) == 0;
  }
  std::vector<sock_filter> program;
  const int memory = memfd_create("seccomp-program", MFD_CLOEXEC);
  if (built && memory >= 0 && seccomp_export_bpf(context, memory) == 0) {
    const off_t size = lseek(memory, 0, SEEK_END);
    if (size > 0 && size % static_cast<off_t>(sizeof(sock_filter)) == 0) {
      program.resize(static_cast<std::size_t>(size) / sizeof(sock_filter));
      if (pread(memory, program.data(), static_cast<std::size_t>(size), 0) != size) {
        program.clear();
      }
    }
  }
  if (memory >= 0) close(memory);
  seccomp_release(context);
  return program;
}

bool print(std::FILE* out, const char* name, const std::vector<sock_filter>& program) {
  if (program.empty()) return false;
  std::fprintf(out, "inline constexpr sock_filter %s[] = {\n", name);
  for (const sock_filter& step : program) {
    std::fprintf(out, "    {0x%04x, %u, %u, 0x%08x},\n", step.code, step.jt, step.jf, step.k);
  }
  std::fprintf(out, "};\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.h\n", argv[0]);
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out,
               "// Written at build time by seccomp_programs from libseccomp's rules.\n"
               "#pragma once\n\n#include <linux/filter.h>\n\n"
               "namespace OmviAgentRunnerMain::seccomp_programs {\n\n");
  const bool written =
      print(out, "kNetworkOn", compile(false)) && print(out, "kNetworkOff", compile(true));
  std::fprintf(out, "\n}  // namespace OmviAgentRunnerMain::seccomp_programs\n");
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "%s: the seccomp programs could not be built\n", argv[1]);
    std::remove(argv[1]);
    return 1;
  }
  return 0;
}
