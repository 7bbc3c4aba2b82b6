/* Runs a command under the seccomp filters that systemd installs for a
 * unit's sandboxing settings, built the way systemd builds them, so the
 * tests can run the gateway under the unit's filter where systemd does not
 * run. unit_filter.py reads the unit and gives this program its options:
 *
 *   under_filter [OPTION...] -- COMMAND [ARG...]
 *     --allow NAME,...        SystemCallFilter= as an allow list, already
 *                             expanded (repeatable)
 *     --errno N               SystemCallErrorNumber=: a call outside the list
 *                             fails with N (without it, the process is killed)
 *     --families N,...        RestrictAddressFamilies=: socket() of another
 *                             family fails with EAFNOSUPPORT
 *     --deny-write-execute    MemoryDenyWriteExecute=yes
 *     --restrict-realtime     RestrictRealtime=yes
 *     --restrict-namespaces   RestrictNamespaces=yes
 *     --lock-personality      LockPersonality=yes
 *     --restrict-suid-sgid    RestrictSUIDSGID=yes
 *
 * Each setting is a filter of its own, the allow list loaded last, right
 * before the exec, as systemd does. Not part of the product. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#define MAX_FAMILIES 64

static _Noreturn void fail(const char *what, int error) {
    fprintf(stderr, "under_filter: %s: %s\n", what, strerror(error));
    exit(125);
}

static scmp_filter_ctx start(uint32_t default_action) {
    scmp_filter_ctx filter = seccomp_init(default_action);
    if (!filter) fail("seccomp_init", ENOMEM);
    return filter;
}

/* A rule on a call this architecture may not have (mmap2, shmat on some). */
static void rule(scmp_filter_ctx filter, uint32_t action, const char *name, unsigned count,
                 const struct scmp_arg_cmp *compare) {
    int nr = seccomp_syscall_resolve_name(name);
    if (nr < 0) return;
    int r = seccomp_rule_add_array(filter, action, nr, count, compare);
    if (r < 0) fail(name, -r);
}

static void load(scmp_filter_ctx filter, const char *what) {
    int r = seccomp_load(filter);
    seccomp_release(filter);
    if (r < 0) fail(what, -r);
}

/* Allowed families in [0, highest] pass, every other value fails. */
static void restrict_families(const char *list) {
    int allowed[MAX_FAMILIES] = {0}, highest = -1;
    for (const char *p = list; *p;) {
        char *end;
        long family = strtol(p, &end, 10);
        if (end == p || family < 0 || family >= MAX_FAMILIES) fail("--families", EINVAL);
        allowed[family] = 1;
        if (family > highest) highest = (int)family;
        p = *end == ',' ? end + 1 : end;
    }
    scmp_filter_ctx filter = start(SCMP_ACT_ALLOW);
    for (int family = 0; family <= highest; ++family) {
        if (allowed[family]) continue;
        struct scmp_arg_cmp is = SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)family, 0);
        rule(filter, SCMP_ACT_ERRNO(EAFNOSUPPORT), "socket", 1, &is);
    }
    struct scmp_arg_cmp above = SCMP_A0(SCMP_CMP_GT, (scmp_datum_t)highest, 0);
    rule(filter, SCMP_ACT_ERRNO(EAFNOSUPPORT), "socket", 1, &above);
    load(filter, "--families");
}

static void deny_write_execute(void) {
    scmp_filter_ctx filter = start(SCMP_ACT_ALLOW);
    const scmp_datum_t both = PROT_WRITE | PROT_EXEC;
    struct scmp_arg_cmp writable_executable = SCMP_A2(SCMP_CMP_MASKED_EQ, both, both);
    struct scmp_arg_cmp executable = SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC);
    struct scmp_arg_cmp shm_executable = SCMP_A2(SCMP_CMP_MASKED_EQ, SHM_EXEC, SHM_EXEC);
    rule(filter, SCMP_ACT_ERRNO(EPERM), "mmap", 1, &writable_executable);
    rule(filter, SCMP_ACT_ERRNO(EPERM), "mmap2", 1, &writable_executable);
    rule(filter, SCMP_ACT_ERRNO(EPERM), "mprotect", 1, &executable);
    rule(filter, SCMP_ACT_ERRNO(EPERM), "pkey_mprotect", 1, &executable);
    rule(filter, SCMP_ACT_ERRNO(EPERM), "shmat", 1, &shm_executable);
    load(filter, "--deny-write-execute");
}

/* SCHED_OTHER, SCHED_BATCH and SCHED_IDLE only; a policy with
 * SCHED_RESET_ON_FORK is above SCHED_IDLE and refused too, as systemd does. */
static void restrict_realtime(void) {
    scmp_filter_ctx filter = start(SCMP_ACT_ALLOW);
    for (int policy = 0; policy < SCHED_IDLE; ++policy) {
        if (policy == SCHED_OTHER || policy == SCHED_BATCH) continue;
        struct scmp_arg_cmp is = SCMP_A1(SCMP_CMP_EQ, (scmp_datum_t)policy, 0);
        rule(filter, SCMP_ACT_ERRNO(EPERM), "sched_setscheduler", 1, &is);
    }
    struct scmp_arg_cmp above = SCMP_A1(SCMP_CMP_GT, SCHED_IDLE, 0);
    rule(filter, SCMP_ACT_ERRNO(EPERM), "sched_setscheduler", 1, &above);
    load(filter, "--restrict-realtime");
}

/* clone3's flags are out of reach of a filter: it fails with ENOSYS, so the
 * C library falls back to clone, whose flags are checked. */
static void restrict_namespaces(void) {
    static const scmp_datum_t kinds[] = {CLONE_NEWCGROUP, CLONE_NEWIPC, CLONE_NEWNET,
                                         CLONE_NEWNS,     CLONE_NEWPID, CLONE_NEWUSER,
                                         CLONE_NEWUTS,    0x00000080 /* CLONE_NEWTIME */};
    scmp_filter_ctx filter = start(SCMP_ACT_ALLOW);
    rule(filter, SCMP_ACT_ERRNO(ENOSYS), "clone3", 0, NULL);
    rule(filter, SCMP_ACT_ERRNO(EPERM), "setns", 0, NULL);
    for (size_t i = 0; i < sizeof kinds / sizeof *kinds; ++i) {
        struct scmp_arg_cmp has = SCMP_A0(SCMP_CMP_MASKED_EQ, kinds[i], kinds[i]);
        rule(filter, SCMP_ACT_ERRNO(EPERM), "unshare", 1, &has);
        rule(filter, SCMP_ACT_ERRNO(EPERM), "clone", 1, &has);
    }
    load(filter, "--restrict-namespaces");
}

static void lock_personality(void) {
    const scmp_datum_t current = (scmp_datum_t)personality(0xffffffff);
    scmp_filter_ctx filter = start(SCMP_ACT_ALLOW);
    struct scmp_arg_cmp other = SCMP_A0(SCMP_CMP_NE, current, 0);
    rule(filter, SCMP_ACT_ERRNO(EPERM), "personality", 1, &other);
    load(filter, "--lock-personality");
}

/* A mode with either bit, given to chmod or to a file being created. */
static void restrict_suid_sgid(void) {
    static const struct {
        const char *name;
        unsigned mode_arg;
        int flags_arg; /* -1: no flags, the call always creates */
    } calls[] = {{"chmod", 1, -1}, {"fchmod", 1, -1}, {"fchmodat", 2, -1}, {"fchmodat2", 2, -1},
                 {"creat", 1, -1}, {"open", 2, 1},    {"openat", 3, 2}};
    static const scmp_datum_t bits[] = {S_ISUID, S_ISGID};
    static const scmp_datum_t creating[] = {O_CREAT, __O_TMPFILE};
    scmp_filter_ctx filter = start(SCMP_ACT_ALLOW);
    for (size_t c = 0; c < sizeof calls / sizeof *calls; ++c)
        for (size_t b = 0; b < 2; ++b) {
            struct scmp_arg_cmp compare[2] = {
                SCMP_CMP(calls[c].mode_arg, SCMP_CMP_MASKED_EQ, bits[b], bits[b])};
            if (calls[c].flags_arg < 0) {
                rule(filter, SCMP_ACT_ERRNO(EPERM), calls[c].name, 1, compare);
                continue;
            }
            for (size_t f = 0; f < 2; ++f) {
                compare[1] = SCMP_CMP((unsigned)calls[c].flags_arg, SCMP_CMP_MASKED_EQ, creating[f],
                                      creating[f]);
                rule(filter, SCMP_ACT_ERRNO(EPERM), calls[c].name, 2, compare);
            }
        }
    load(filter, "--restrict-suid-sgid");
}

static void allow_list(char **lists, int count, int error) {
    scmp_filter_ctx filter =
        start(error > 0 ? SCMP_ACT_ERRNO((uint32_t)error) : SCMP_ACT_KILL_PROCESS);
    for (int i = 0; i < count; ++i)
        for (char *name = strtok(lists[i], ","); name; name = strtok(NULL, ","))
            rule(filter, SCMP_ACT_ALLOW, name, 0, NULL);
    load(filter, "--allow");
}

int main(int argc, char **argv) {
    char *lists[8];
    int list_count = 0, error = 0, i = 1;
    const char *families = NULL;
    int write_execute = 0, realtime = 0, namespaces = 0, persona = 0, suid = 0;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const char *option = argv[i];
        const int has_value = i + 1 < argc;
        if (!strcmp(option, "--allow") && has_value && list_count < 8)
            lists[list_count++] = argv[++i];
        else if (!strcmp(option, "--errno") && has_value)
            error = atoi(argv[++i]);
        else if (!strcmp(option, "--families") && has_value)
            families = argv[++i];
        else if (!strcmp(option, "--deny-write-execute"))
            write_execute = 1;
        else if (!strcmp(option, "--restrict-realtime"))
            realtime = 1;
        else if (!strcmp(option, "--restrict-namespaces"))
            namespaces = 1;
        else if (!strcmp(option, "--lock-personality"))
            persona = 1;
        else if (!strcmp(option, "--restrict-suid-sgid"))
            suid = 1;
        else
            fail(option, EINVAL);
    }
    if (i + 1 >= argc) fail("no command after --", EINVAL);
    /* The order of systemd's exec step; the allow list last. */
    if (families) restrict_families(families);
    if (write_execute) deny_write_execute();
    if (realtime) restrict_realtime();
    if (suid) restrict_suid_sgid();
    if (namespaces) restrict_namespaces();
    if (persona) lock_personality();
    if (list_count) allow_list(lists, list_count, error);
    execvp(argv[i + 1], argv + i + 1);
    fail(argv[i + 1], errno);
}
