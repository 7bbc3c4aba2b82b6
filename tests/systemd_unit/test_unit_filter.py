"""The FastCGI server under the system-call filter of deploy/cgi-forward.service.

systemd need not run here: the unit's seccomp settings are read from the
unit, its call groups expanded by systemd-analyze, and the filters installed
by under_filter (built as systemd builds them) in front of the gateway. A
table of probe calls first shows that the filters are in force and let
through what a server needs; then the end-to-end set runs with WAY_IN=fastcgi
and the gateway started under them.

Usage: test_unit_filter.py PATH_TO_CGI_FORWARD  (env UNDER_FILTER: the helper)
Exits 77 (skipped) without systemd-analyze.
"""
import ctypes
import errno
import json
import mmap
import os
import select
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
UNIT = os.path.join(HERE, "..", "..", "deploy", "cgi-forward.service")
TEST_GATEWAY = os.path.join(HERE, "..", "e2e", "test_gateway.py")

# The settings the helper knows. Any other seccomp setting in the unit
# fails the test rather than being left out of it.
FLAGS = {"MemoryDenyWriteExecute": "--deny-write-execute",
         "RestrictRealtime": "--restrict-realtime",
         "RestrictNamespaces": "--restrict-namespaces",
         "LockPersonality": "--lock-personality",
         "RestrictSUIDSGID": "--restrict-suid-sgid"}


def service_settings(path):
    """The [Service] section as (key, value) pairs in order."""
    settings, section = [], None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
            elif section == "[Service]":
                key, _, value = line.partition("=")
                settings.append((key.strip(), value.strip()))
    return settings


def expand(name, seen=None):
    """A call or @group as the set of calls systemd-analyze lists for it."""
    if not name.startswith("@"):
        return {name}
    seen = set() if seen is None else seen
    if name in seen:
        return set()
    seen.add(name)
    listing = subprocess.run(["systemd-analyze", "syscall-filter", name], check=True,
                             capture_output=True, text=True).stdout.splitlines()
    calls = set()
    for line in listing[1:]:
        entry = line.strip()
        if entry and not entry.startswith("#"):
            calls |= expand(entry, seen)
    if not calls:
        raise ValueError(f"systemd-analyze lists no calls for {name}")
    return calls


def filter_options(path):
    """under_filter's options for the unit's settings, systemd's rules: the
    first SystemCallFilter= without ~ makes an allow list that starts with
    @default; later lines add to it, or with ~ take away, in order."""
    allowed, options = None, []
    for key, value in service_settings(path):
        if key == "SystemCallFilter":
            if not value:
                allowed = None
                continue
            remove = value.startswith("~")
            names = value.lstrip("~").split()
            if any(":" in n for n in names):
                raise ValueError(f"a per-call errno is not supported here: {value}")
            if allowed is None:
                if remove:
                    raise ValueError("a deny list is not supported here")
                allowed = expand("@default")
            for n in names:
                allowed = allowed - expand(n) if remove else allowed | expand(n)
        elif key == "SystemCallErrorNumber":
            options += ["--errno", str(getattr(errno, value))]
        elif key == "SystemCallArchitectures" and value != "native":
            raise ValueError(f"SystemCallArchitectures={value} is not supported here")
        elif key == "RestrictAddressFamilies":
            if value.startswith("~"):
                raise ValueError("a deny list of families is not supported here")
            options += ["--families",
                        ",".join(str(int(getattr(socket, f))) for f in value.split())]
        elif key in FLAGS and value in ("yes", "no"):
            options += [FLAGS[key]] if value == "yes" else []
        elif key in FLAGS or key == "SystemCallLog":
            raise ValueError(f"{key}={value} is not supported here")
    if allowed is None:
        raise ValueError("the unit has no SystemCallFilter=")
    return options + ["--allow", ",".join(sorted(allowed))]


def probe_results():
    """Each probe call's result, "ok" or the errno name. Runs in the process
    under test; the probe that changes the personality comes last."""
    libc = ctypes.CDLL(None, use_errno=True)

    def checked(result):
        if result == -1:
            raise OSError(ctypes.get_errno(), "")

    def page_address(page):
        return ctypes.addressof(ctypes.c_char.from_buffer(page))

    def with_thread():
        t = threading.Thread(target=lambda: None)
        t.start()
        t.join()

    def epoll_eventfd():
        fd = os.eventfd(0)
        poller = select.epoll()
        poller.register(fd, select.EPOLLIN)
        os.eventfd_write(fd, 1)
        assert poller.poll(1) == [(fd, select.EPOLLIN)]

    def open_files_to_hard():
        import resource
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    def set_user_id_bit():
        with tempfile.NamedTemporaryFile() as f:
            os.chmod(f.name, 0o4600)

    page = mmap.mmap(-1, mmap.PAGESIZE)
    libc.syscall.restype = ctypes.c_long
    calls = {
        "socket AF_UNIX": lambda: socket.socket(socket.AF_UNIX).close(),
        "socket AF_INET": lambda: socket.socket(socket.AF_INET).close(),
        "socketpair AF_UNIX": lambda: [s.close() for s in socket.socketpair()],
        "socket AF_INET6": lambda: socket.socket(socket.AF_INET6).close(),
        "socket AF_NETLINK": lambda: socket.socket(socket.AF_NETLINK, socket.SOCK_RAW).close(),
        "thread start and join": with_thread,
        "epoll and eventfd": epoll_eventfd,
        "sched_setscheduler SCHED_BATCH":
            lambda: os.sched_setscheduler(0, os.SCHED_BATCH, os.sched_param(0)),
        "setrlimit NOFILE to the hard limit": open_files_to_hard,
        "clone3 (no arguments)": lambda: checked(libc.syscall(435, None, 0)),
        "unshare CLONE_NEWUTS": lambda: checked(libc.unshare(0x04000000)),
        "mmap writable and executable":
            lambda: mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_WRITE | mmap.PROT_EXEC),
        "mprotect to executable":
            lambda: checked(libc.mprotect(ctypes.c_void_p(page_address(page)), mmap.PAGESIZE,
                                          mmap.PROT_READ | mmap.PROT_EXEC)),
        "mincore (outside @system-service)":
            lambda: checked(libc.mincore(ctypes.c_void_p(page_address(page)), mmap.PAGESIZE,
                                         ctypes.create_string_buffer(1))),
        "setuid to its own user (@privileged)": lambda: os.setuid(os.getuid()),
        "chmod with set-user-ID": set_user_id_bit,
        "personality PER_LINUX32": lambda: checked(libc.personality(0x0008)),
    }
    results = {}
    for name, call in calls.items():
        try:
            call()
            results[name] = "ok"
        except OSError as e:
            results[name] = errno.errorcode.get(e.errno, str(e.errno))
    return results


# What each probe gives under the unit: what the server does passes, the
# rest is refused by the setting named.
EXPECTED = {
    "socket AF_UNIX": "ok",
    "socket AF_INET": "ok",
    "socketpair AF_UNIX": "ok",
    "socket AF_INET6": "EAFNOSUPPORT",  # RestrictAddressFamilies
    "socket AF_NETLINK": "EAFNOSUPPORT",
    "thread start and join": "ok",  # clone3 refused, clone with thread flags
    "epoll and eventfd": "ok",
    "sched_setscheduler SCHED_BATCH": "ok",  # the event loops' policy
    "setrlimit NOFILE to the hard limit": "ok",
    "clone3 (no arguments)": "ENOSYS",  # RestrictNamespaces (without it: EINVAL)
    "unshare CLONE_NEWUTS": "EPERM",
    "mmap writable and executable": "EPERM",  # MemoryDenyWriteExecute
    "mprotect to executable": "EPERM",
    "mincore (outside @system-service)": "EPERM",  # SystemCallErrorNumber
    "setuid to its own user (@privileged)": "EPERM",
    "chmod with set-user-ID": "EPERM",  # RestrictSUIDSGID
    "personality PER_LINUX32": "EPERM",  # LockPersonality
}


def run_probes(wrapper):
    out = subprocess.run(wrapper + [sys.executable, os.path.abspath(__file__), "--probe"],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "--probe":
        print(json.dumps(probe_results()))
        return 0
    if not shutil.which("systemd-analyze"):
        print("skipped: no systemd-analyze to expand the unit's system-call groups")
        return 77
    wrapper = [os.environ["UNDER_FILTER"], *filter_options(UNIT), "--"]

    failures = []
    filtered, unfiltered = run_probes(wrapper), run_probes([])
    for name, expected in EXPECTED.items():
        if filtered.get(name) != expected:
            failures.append(f"{name}: {filtered.get(name)} under the filter, {expected} expected")
        # A refusal the call gets anyway proves nothing about the filter.
        if unfiltered.get(name) == expected != "ok" or (
                expected == "ok" != unfiltered.get(name)):
            failures.append(f"{name}: {unfiltered.get(name)} without the filter too")
    if failures:
        print("probe calls:\n  " + "\n  ".join(failures))
        return 1
    print(f"{len(EXPECTED)} probe calls as expected; the end-to-end FastCGI set under the filter:",
          flush=True)

    env = dict(os.environ, WAY_IN="fastcgi", GATEWAY_WRAPPER=shlex.join(wrapper))
    return subprocess.run([sys.executable, TEST_GATEWAY, sys.argv[1]], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
