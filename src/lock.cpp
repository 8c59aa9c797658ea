#include "lock.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace lock {

namespace {

// Landlock's rights by the version that brought them: 1 the thirteen first, 2 linking across
// folders, 3 truncating, 5 device control; networks from 4, scopes (abstract sockets, signals)
// from 6.
quint64 filerights(int abi)
{
    quint64 rights = (quint64(1) << 13) - 1;
    if (abi >= 2)
        rights |= quint64(1) << 13;
    if (abi >= 3)
        rights |= quint64(1) << 14;
    if (abi >= 5)
        rights |= quint64(1) << 15;
    return rights;
}

struct ruleset
{
    quint64 files = 0;
    quint64 networks = 0;
    quint64 scoped = 0;
};

int landlockabi()
{
    const long abi
        = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? int(abi) : 0;
}

// Read access beneath a folder, or to a file alone.
bool allowread(int rules, const QString &path)
{
    const int at = ::open(QFile::encodeName(path).constData(), O_PATH | O_CLOEXEC);
    if (at < 0)
        return false;
    struct stat status;
    const bool folder = ::fstat(at, &status) == 0 && S_ISDIR(status.st_mode);
    landlock_path_beneath_attr beneath {};
    beneath.allowed_access
        = LANDLOCK_ACCESS_FS_READ_FILE | (folder ? LANDLOCK_ACCESS_FS_READ_DIR : 0);
    beneath.parent_fd = at;
    const bool added
        = ::syscall(SYS_landlock_add_rule, rules, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0) == 0;
    ::close(at);
    return added;
}

bool landlock(const QStringList &readable)
{
    const int abi = landlockabi();
    if (!abi)
        return false;
    ruleset handled;
    handled.files = filerights(abi);
    handled.networks = abi >= 4 ? 3 : 0; // binding and connecting TCP
    handled.scoped = abi >= 6 ? 3 : 0; // abstract sockets and signals outside
    const std::size_t size = abi >= 6 ? sizeof(ruleset)
        : abi >= 4                    ? 2 * sizeof(quint64)
                                      : sizeof(quint64);
    const int rules = int(::syscall(SYS_landlock_create_ruleset, &handled, size, 0));
    if (rules < 0)
        return false;
    for (const QString &path : readable)
        allowread(rules, path);
    const bool restricted = ::syscall(SYS_landlock_restrict_self, rules, 0) == 0;
    ::close(rules);
    return restricted;
}

bool ceiling()
{
    const rlimit none { 0, 0 };
    bool set = ::setrlimit(RLIMIT_CORE, &none) == 0;
#if !defined(__SANITIZE_ADDRESS__)
    // The address sanitizer reserves its shadow memory, many times any ceiling, up front.
    const rlimit memory { rlim_t(ceilingbytes), rlim_t(ceilingbytes) };
    set = ::setrlimit(RLIMIT_AS, &memory) == 0 && set;
#endif
    return set;
}

using rule = scmp_arg_cmp;

void allow(scmp_filter_ctx filter, int call, std::initializer_list<rule> conditions = {})
{
    seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, unsigned(conditions.size()),
        conditions.size() ? conditions.begin() : nullptr);
}

// What decoding needs: memory, threads, time, reading and writing the descriptors held, and
// making the memory files pixels are sent in.
constexpr int needed[] = {
    SCMP_SYS(read),
    SCMP_SYS(readv),
    SCMP_SYS(pread64),
    SCMP_SYS(preadv),
    SCMP_SYS(write),
    SCMP_SYS(writev),
    SCMP_SYS(pwrite64),
    SCMP_SYS(lseek),
    SCMP_SYS(close),
    SCMP_SYS(fstat),
    SCMP_SYS(newfstatat),
    SCMP_SYS(statx),
    SCMP_SYS(fcntl),
    SCMP_SYS(dup),
    SCMP_SYS(ftruncate),
    SCMP_SYS(memfd_create),
    SCMP_SYS(mmap),
    SCMP_SYS(munmap),
    SCMP_SYS(mprotect),
    SCMP_SYS(mremap),
    SCMP_SYS(madvise),
    SCMP_SYS(brk),
    SCMP_SYS(futex),
    SCMP_SYS(set_robust_list),
    SCMP_SYS(rseq),
    SCMP_SYS(set_tid_address),
    SCMP_SYS(membarrier),
    SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigreturn),
    SCMP_SYS(sigaltstack),
    SCMP_SYS(exit),
    SCMP_SYS(exit_group),
    SCMP_SYS(restart_syscall),
    SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_getres),
    SCMP_SYS(clock_nanosleep),
    SCMP_SYS(nanosleep),
    SCMP_SYS(gettimeofday),
    SCMP_SYS(getpid),
    SCMP_SYS(gettid),
    SCMP_SYS(getppid),
    SCMP_SYS(getuid),
    SCMP_SYS(geteuid),
    SCMP_SYS(getgid),
    SCMP_SYS(getegid),
    SCMP_SYS(getrandom),
    SCMP_SYS(sched_yield),
    SCMP_SYS(sched_getaffinity),
    SCMP_SYS(uname),
    SCMP_SYS(sysinfo),
    SCMP_SYS(getrlimit),
    SCMP_SYS(poll),
    SCMP_SYS(ppoll),
    SCMP_SYS(sendmsg),
    SCMP_SYS(recvmsg),
    SCMP_SYS(eventfd2),
    SCMP_SYS(pipe2),
    SCMP_SYS(getcwd),
};

// Where Landlock confines them: looking up and reading the libraries loaded on first use.
constexpr int looking[] = {
    SCMP_SYS(getdents64),
    SCMP_SYS(readlink),
    SCMP_SYS(readlinkat),
    SCMP_SYS(access),
    SCMP_SYS(faccessat),
    SCMP_SYS(faccessat2),
};

bool filter(bool confined)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter)
        return false;
    for (const int call : needed)
        allow(filter, call);
    // Threads, never processes: the thread interface of old, whose flags can be told.
    allow(filter, SCMP_SYS(clone), { SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD) });
    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    // Signals only to itself, as an abort raises one; limits only read.
    const auto self = scmp_datum_t(::getpid());
    allow(filter, SCMP_SYS(tgkill), { SCMP_A0(SCMP_CMP_EQ, self) });
    allow(filter, SCMP_SYS(kill), { SCMP_A0(SCMP_CMP_EQ, self) });
    allow(filter, SCMP_SYS(prlimit64), { SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0) });
    if (confined) {
        for (const int call : looking)
            allow(filter, call);
        // Opening for reading alone: no writing, creating, truncating or unnamed files.
        constexpr scmp_datum_t writes
            = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND | (O_TMPFILE & ~O_DIRECTORY);
        allow(filter, SCMP_SYS(openat), { SCMP_A2(SCMP_CMP_MASKED_EQ, writes, 0) });
    }
    const bool loaded = seccomp_load(filter) == 0;
    seccomp_release(filter);
    return loaded;
}

} // namespace

bool confines()
{
    return landlockabi() > 0;
}

held lockdown(const QStringList &readable)
{
    held now;
    now.noprivileges = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
    now.ceiling = ceiling();
    now.landlock = now.noprivileges && landlock(readable);
    now.filter = now.noprivileges && filter(now.landlock);
    return now;
}

} // namespace lock
