// Runs a command on a system that appears to have no process file
// descriptors: waitid(P_PIDFD, ...) fails with EINVAL, as on kernels before
// 5.4.
//   without_pidfd COMMAND [ARGS...]
//
// Qt asks exactly that to decide whether to start processes with
// clone(CLONE_PIDFD). Under qemu's user-mode emulation the host kernel says
// yes, but qemu 7.2 then refuses the clone flag, so a 32-bit LMMS there never
// starts its plug-in server (and, tearing down the failed start, kills
// process -1). Told no, Qt forks the classic way, which qemu emulates.
#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

#if defined(__x86_64__)
constexpr unsigned thisArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned thisArch = AUDIT_ARCH_AARCH64;
#else
#error "without_pidfd knows the audit architecture of x86-64 and AArch64 only"
#endif

constexpr unsigned idTypePidfd = 3;  // P_PIDFD, missing from older headers

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: without_pidfd COMMAND [ARGS...]\n");
        return 2;
    }
    // The low half of the first argument is the id type; the filter leaves
    // every other call, and calls from other architectures, alone.
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, thisArch, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_waitid, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, idTypePidfd, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EINVAL & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        std::perror("without_pidfd: cannot install the filter");
        return 1;
    }
    execvp(argv[1], argv + 1);
    std::perror("without_pidfd: cannot run the command");
    return 127;
}
