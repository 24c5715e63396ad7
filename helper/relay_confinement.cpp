#include "helper/relay_confinement.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qx::helper {
namespace {

#if defined(__x86_64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_AARCH64;
#else
#error "the relay's system-call filter knows x86-64 and arm64 only"
#endif

constexpr int kFirstKept = 3;

// What the relay's loop, the C++ allocator and an abort need; nothing opens, maps a file,
// forks or executes.
constexpr long kAllowedCalls[] = {
    SYS_read,       SYS_write,        SYS_writev,          SYS_recvfrom,      SYS_sendto,
    SYS_recvmsg,    SYS_sendmsg,      SYS_ppoll,           SYS_close,         SYS_exit,
    SYS_exit_group, SYS_rt_sigreturn, SYS_restart_syscall, SYS_clock_gettime, SYS_brk,
    SYS_munmap,     SYS_mremap,       SYS_madvise,         SYS_futex,         SYS_getpid,
    SYS_gettid,     SYS_tgkill,       SYS_rt_sigprocmask,  SYS_fstat,         SYS_newfstatat,
#ifdef SYS_poll
    SYS_poll,
#endif
};
// Memory for the allocator, never executable: code smuggled into the relay cannot be run.
constexpr long kDataMappingCalls[] = {SYS_mmap, SYS_mprotect};
constexpr int kProtectionArgument = 2;  // of both
// The filter reads an argument's low 32 bits, where PROT_EXEC is, at the argument's own offset.
static_assert(std::endian::native == std::endian::little);

Error Fail(const std::string& step) {
    return Error::FromErrno(errno, "confining the relay: " + step);
}

// Closes every descriptor but the kept ones (the helper's listener, its clients, ...).
bool CloseAllBut(std::vector<int> kept) {
    std::sort(kept.begin(), kept.end());
    unsigned from = kFirstKept;
    for (int fd : kept) {
        const auto keptFd = static_cast<unsigned>(fd);
        if (keptFd > from && ::syscall(SYS_close_range, from, keptFd - 1, 0) != 0) return false;
        from = std::max(from, keptFd + 1);
    }
    return ::syscall(SYS_close_range, from, UINT_MAX, 0) == 0;
}

// The kept descriptors end up as 3, 4, ... in their order. Everything else is closed first, so
// moving them needs no spare room even under a low descriptor limit.
Expected<void> KeepOnly(std::initializer_list<int*> keep) {
    std::vector<int> kept;
    for (int* fd : keep) kept.push_back(*fd);
    if (!CloseAllBut(kept)) return Fail("closing inherited descriptors");
    // Parked above the slots they move to, so a move never closes one not yet moved.
    const int parking = kFirstKept + static_cast<int>(keep.size());
    for (int* fd : keep)
        if ((*fd = ::fcntl(*fd, F_DUPFD_CLOEXEC, parking)) < 0) return Fail("moving descriptors");
    int next = kFirstKept;
    for (int* fd : keep) {
        if (::dup2(*fd, next) < 0) return Fail("moving descriptors");
        *fd = next++;
    }
    if (::syscall(SYS_close_range, next, UINT_MAX, 0) != 0)
        return Fail("closing inherited descriptors");
    return {};
}

// A directory made, entered and removed: the root of a tree with nothing in it, where nothing
// can be made.
Expected<void> LeaveFileSystem() {
    char dir[] = "/tmp/qx-relay-XXXXXX";
    if (!::mkdtemp(dir) || ::chdir(dir) != 0 || ::rmdir(dir) != 0 || ::chroot(".") != 0 ||
        ::chdir("/") != 0)
        return Fail("leaving the file system");
    return {};
}

Expected<void> BecomeRelayUser(const RelayIdentity& identity) {
    if (::setgroups(0, nullptr) != 0 ||
        ::setresgid(identity.gid, identity.gid, identity.gid) != 0 ||
        ::setresuid(identity.uid, identity.uid, identity.uid) != 0)
        return Fail("becoming uid " + std::to_string(identity.uid));
    if (::setresuid(0, 0, 0) == 0) {
        errno = EPERM;
        return Fail("root could be regained");
    }
    return {};
}

Expected<void> FilterSystemCalls() {
    std::vector<sock_filter> program{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kNativeArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    for (long call : kAllowedCalls) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    for (long call : kDataMappingCalls) {
        // Not this call: past the four that check it. Either way they return.
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), 0, 4));
        program.push_back(
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                     offsetof(seccomp_data, args) + kProtectionArgument * sizeof(uint64_t)));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, PROT_EXEC, 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
        return Fail("installing the system-call filter");
    return {};
}

}  // namespace

Expected<void> ConfineRelay(const RelayIdentity& identity, std::initializer_list<int*> keep) {
    if (identity.uid == 0) {
        errno = EPERM;
        return Fail("the relay user is root");
    }
    if (Expected<void> kept = KeepOnly(keep); !kept) return kept;
    if (Expected<void> left = LeaveFileSystem(); !left) return left;
    if (Expected<void> became = BecomeRelayUser(identity); !became) return became;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return Fail("no_new_privs");
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return Fail("not dumpable");
    return FilterSystemCalls();
}

}  // namespace qx::helper
