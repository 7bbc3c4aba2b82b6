"""Real clients through the mount: git's smart HTTP and the litmus WebDAV suites.

Usage (in a private network namespace, as real root):
    test_clients.py PATH_TO_CGI_FORWARD
STACK_SERVER names the way of serving (stack.SERVERS), as for test_stack.py.
The upstream on 127.0.0.1:8011 is Apache serving `git http-backend` at /git/
and a WebDAV tree (mod_dav_fs) at /dav/; the clients reach it through the
gateway's mount. Exits 77 (skipped) when the server, Apache, git or litmus
cannot run here.
"""
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import stack  # noqa: E402

GATEWAY = None
SERVER = os.environ.get("STACK_SERVER", "lighttpd")
# busybox httpd and mini_httpd run the gateway as /cgi-bin/cgi_forward/...
MOUNT = "/cgi-bin/cgi_forward" if SERVER in ("busybox", "mini_httpd") else stack.MOUNT
BASE = f"http://127.0.0.1:{stack.WEB_PORT}{MOUNT}"
GIT_BACKEND = "/usr/lib/git-core/git-http-backend"
CLIENT_TIMEOUT = 120  # seconds for one git command or litmus suite


def start_upstream(workdir):
    """Apache on the upstream's port: git http-backend at /git/ for the bare
    repositories in workdir/git, a WebDAV tree at /dav/. It runs as www-data,
    so what it writes belongs to www-data."""
    for sub in ("dav", "git", "locks"):
        os.makedirs(os.path.join(workdir, sub))
    mods = "/usr/lib/apache2/modules"
    conf = stack.write(os.path.join(workdir, "upstream.conf"), f"""
LoadModule mpm_prefork_module {mods}/mod_mpm_prefork.so
LoadModule authz_core_module {mods}/mod_authz_core.so
LoadModule alias_module {mods}/mod_alias.so
LoadModule cgi_module {mods}/mod_cgi.so
LoadModule env_module {mods}/mod_env.so
LoadModule dav_module {mods}/mod_dav.so
LoadModule dav_fs_module {mods}/mod_dav_fs.so
StartServers 4
ServerName 127.0.0.1
Listen 127.0.0.1:{stack.UPSTREAM_PORT}
User www-data
Group www-data
PidFile {workdir}/upstream.pid
ErrorLog {workdir}/upstream-error.log
Mutex file:{workdir}
DocumentRoot {workdir}/dav
DAVLockDB {workdir}/locks/db
Alias /dav {workdir}/dav
<Directory {workdir}/dav>
    Dav On
    Require all granted
</Directory>
SetEnv GIT_PROJECT_ROOT {workdir}/git
SetEnv GIT_HTTP_EXPORT_ALL 1
ScriptAlias /git/ {GIT_BACKEND}/
<Directory {os.path.dirname(GIT_BACKEND)}>
    Require all granted
</Directory>
""")
    for version in GIT_VERSIONS:
        repo = upstream_repo(workdir, version)
        git(["init", "-q", "--bare", repo])
        git(["-C", repo, "config", "http.receivepack", "true"])
    subprocess.run(["chown", "-R", "www-data:www-data"] + [
        os.path.join(workdir, sub) for sub in ("dav", "git", "locks")], check=True)
    proc = stack.spawn(["apache2", "-DFOREGROUND", "-f", conf])
    stack.wait_for_port(stack.UPSTREAM_PORT)
    return proc


# ---- git ----
GIT_VERSIONS = (0, 2)
# git's own settings for every command: no user's or system's configuration,
# no prompt, a transfer that stalls for 20 s fails instead of hanging.
GIT_ENV = {"GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull,
           "GIT_TERMINAL_PROMPT": "0", "GIT_AUTHOR_NAME": "Test", "GIT_AUTHOR_EMAIL": "t@test",
           "GIT_COMMITTER_NAME": "Test", "GIT_COMMITTER_EMAIL": "t@test", "LC_ALL": "C"}
GIT_OPTIONS = ["-c", "init.defaultBranch=main", "-c", "http.lowSpeedLimit=1",
               "-c", "http.lowSpeedTime=20", "-c", "safe.directory=*"]
if SERVER == "mini_httpd":
    # mini_httpd loses the answer to a POST whose body comes with its head;
    # after "Expect: 100-continue" (which it never answers) curl sends the
    # body 1 s later, alone, as its deploy file advises.
    GIT_OPTIONS += ["-c", "http.extraHeader=Expect: 100-continue"]


def git(args, trace=None, **options):
    """Runs git with args; trace: a file for its packet and HTTP traces."""
    env = dict(os.environ, **GIT_ENV)
    if trace:
        env.update(GIT_TRACE_PACKET=trace, GIT_TRACE_CURL=trace, GIT_TRACE_CURL_NO_DATA="1")
    done = subprocess.run(["git", *GIT_OPTIONS, *args], env=env, capture_output=True,
                          timeout=CLIENT_TIMEOUT, **options)
    if done.returncode:
        raise AssertionError(f"git {' '.join(args)}: exit {done.returncode}\n"
                             f"{done.stderr.decode(errors='replace')[-3000:]}")
    return done.stdout.decode()


def upstream_repo(workdir, version):
    return os.path.join(workdir, "git", f"v{version}.git")


def commit(repo, name, size):
    """A new commit in repo adding a file of size random (incompressible) bytes."""
    with open(os.path.join(repo, name), "wb") as f:
        f.write(os.urandom(size))
    git(["-C", repo, "add", name])
    git(["-C", repo, "commit", "-q", "-m", f"add {name}"])
    return git(["-C", repo, "rev-parse", "HEAD"]).strip()


# Each step runs the git client through the mount in the directory of one
# protocol version; the steps of a version run in this order, each on what
# the last one left. Over 1 MiB (http.postBuffer) git sends a push chunked.
# A step returns the commits it pushed and records in ctx.refs the refs the
# upstream must then hold.
def push_first(ctx):
    git(["init", "-q", ctx.work])
    pushed = commit(ctx.work, "small.txt", 100)
    ctx.git(["-C", ctx.work, "push", "-q", ctx.url, "main"], chunked=False)
    ctx.refs["refs/heads/main"] = pushed
    return [pushed]


def clone(ctx):
    ctx.git(["clone", "-q", ctx.url, ctx.clone])
    ctx.assert_same(ctx.clone, "HEAD", ctx.work, "HEAD")
    return []


def ls_remote(ctx):
    listed = ctx.git(["ls-remote", "--refs", ctx.url])
    ctx.test.assertEqual(dict(line.split("\t")[::-1] for line in listed.splitlines()), ctx.refs)
    return []


def push_large(ctx):
    pushed = commit(ctx.work, "large.bin", 3 << 20)
    ctx.git(["-C", ctx.work, "push", "-q", ctx.url, "main"], chunked=True)
    ctx.refs["refs/heads/main"] = pushed
    return [pushed]


def push_large_sized(ctx):
    # With http.postBuffer above the pack's size git sends it with a length:
    # the way around a server that cannot take a chunked body.
    pushed = commit(ctx.work, "large-sized.bin", 2 << 20)
    ctx.git(["-c", "http.postBuffer=16m", "-C", ctx.work, "push", "-q", ctx.url, "main"],
            chunked=False)
    ctx.refs["refs/heads/main"] = pushed
    return [pushed]


def fetch(ctx):
    ctx.git(["-C", ctx.clone, "fetch", "-q", "origin"])
    ctx.assert_same(ctx.clone, "origin/main", ctx.work, "HEAD")
    return []


def shallow_clone(ctx):
    # Another negotiation: the server sends a shallow boundary first.
    shallow = ctx.clone + "-shallow"
    ctx.git(["clone", "-q", "--depth", "1", ctx.url, shallow])
    ctx.assert_same(shallow, "HEAD", ctx.work, "HEAD")
    ctx.test.assertEqual(git(["-C", shallow, "rev-list", "--count", "HEAD"]).strip(), "1")
    return []


def push_from_clone(ctx):
    # A small push on top of the large one, from the repository that fetched it.
    git(["-C", ctx.clone, "merge", "-q", "--ff-only", "origin/main"])
    pushed = commit(ctx.clone, "second.txt", 200)
    ctx.git(["-C", ctx.clone, "push", "-q", "origin", "main"], chunked=False)
    ctx.refs["refs/heads/main"] = pushed
    return [pushed]


def push_tag_and_delete_branch(ctx):
    # An annotated tag, a branch, then the branch deleted: a push that sends
    # no pack at all.
    git(["-C", ctx.clone, "tag", "-a", "-m", "first", "v1", "HEAD~1"])
    ctx.git(["-C", ctx.clone, "push", "-q", "origin", "v1", "main:refs/heads/side"])
    ctx.test.assertEqual(git(["-C", ctx.upstream, "rev-parse", "side"]), git(
        ["-C", ctx.clone, "rev-parse", "main"]))
    ctx.git(["-C", ctx.clone, "push", "-q", "origin", ":side"])
    ctx.refs["refs/tags/v1"] = git(["-C", ctx.clone, "rev-parse", "v1"]).strip()
    return []


GIT_STEPS = [("push a first small commit", push_first), ("clone", clone),
             ("ls-remote", ls_remote), ("push over 1 MiB", push_large),
             ("push over 1 MiB, sized", push_large_sized), ("fetch", fetch),
             ("shallow clone", shallow_clone),
             ("push a small commit from the clone", push_from_clone),
             ("push a tag and a branch, delete the branch", push_tag_and_delete_branch)]
# Where a git step (or a protocol version) cannot pass, and why.
GIT_LIMITS = {
    "busybox": {"push over 1 MiB": "busybox httpd 1.35 hands a CGI program only the part of "
                "a chunked body that came with the head, then the end of its input"},
    "mini_httpd": {"push over 1 MiB": "mini_httpd 1.30 hands a chunked body over in its "
                   "framing with nothing saying so, and answers nothing",
                   "protocol v2": "mini_httpd hands a CGI program no Git-Protocol field, "
                   "so git speaks v0"},
}


class GitRun:
    """One protocol version's client repositories and checks."""

    def __init__(self, test, tmp, version, upstream):
        self.test, self.version, self.upstream, self.refs = test, version, upstream, {}
        self.url = f"{BASE}/git/v{version}.git"
        self.work, self.clone, self.trace = (os.path.join(tmp, f"{name}{version}")
                                             for name in ("work", "clone", "trace"))

    def git(self, args, chunked=None):
        """git with args at protocol.version; checks from its trace that it spoke
        the smart protocol of that version and, where chunked is given, whether
        it sent the request body chunked."""
        if os.path.exists(self.trace):
            os.unlink(self.trace)
        out = git(["-c", f"protocol.version={self.version}", *args], trace=self.trace)
        with open(self.trace, errors="replace") as f:
            trace = f.read()
        # v2: the server's capability advertisement begins "version 2"; v0:
        # the ref advertisement of smart HTTP begins "# service=" (git push
        # speaks v0 whatever is asked).
        v2 = self.version == 2 and "push" not in args
        spoken = "< version 2" in trace, "# service=git-" in trace
        self.test.assertEqual(spoken, (v2, not v2), "(version 2, smart v0) from the trace")
        if chunked is not None:
            self.test.assertEqual("Send header: Transfer-Encoding: chunked" in trace, chunked,
                                  "a chunked push")
        return out

    def assert_same(self, repo, rev, other, other_rev):
        self.test.assertEqual(git(["-C", repo, "rev-parse", rev]),
                              git(["-C", other, "rev-parse", other_rev]))


# ---- litmus ----
# suite: a litmus test program; count: the tests it runs; may_fail: the tests
# that may fail through the mount. propfind_d0 reads the href of a 207, which
# names the upstream's path: the gateway does not rewrite bodies.
LitmusCase = collections.namedtuple("LitmusCase", "suite count may_fail", defaults=((),))
LITMUS_CASES = [
    LitmusCase("basic", 16),
    LitmusCase("copymove", 13),
    LitmusCase("props", 30, ("propfind_d0",)),
    LitmusCase("locks", 41),
    LitmusCase("http", 4),  # Expect: 100-continue
]
# The servers that run litmus too: busybox httpd answers MKCOL itself with
# 404 (and hands a CGI program a body with POST alone), mini_httpd with 501.
LITMUS_SERVERS = {"lighttpd", "apache", "nginx", "lighttpd-fastcgi", "apache-fastcgi",
                  "nginx-fastcgi", "caddy"}
LITMUS_EVENT = re.compile(r"(\d+)\. (\w+)\.*[ \t]*(pass|FAIL|SKIPPED)?"
                          r"|\.{2,}[ \t]*(pass|FAIL|SKIPPED)\b")


def litmus(suite, url, cwd):
    """Runs one litmus suite; returns (results: {(number, name): outcome},
    summary line, output)."""
    done = subprocess.run(["litmus", url], env=dict(os.environ, TESTS=suite), cwd=cwd,
                          capture_output=True, timeout=CLIENT_TIMEOUT)
    output = done.stdout.decode(errors="replace")
    results, current = {}, None
    # Each test's name is printed as it starts and again with its outcome
    # (a long name without dots); a warning comes between them, the outcome
    # then on a line of its own.
    for event in LITMUS_EVENT.finditer(output):
        number, name, outcome, later = event.groups()
        if name:
            current = (int(number), name)
        if current and (outcome or later):
            results[current] = outcome or later
    summary = re.search(r"summary for `\w+': of (\d+) tests run: (\d+) passed", output)
    return results, summary, output


class RealClients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        os.chmod(cls.work.name, 0o755)  # the upstream's user reaches its tree
        cls.upstream_dir = os.path.join(cls.work.name, "upstream")
        os.mkdir(cls.upstream_dir)
        web = os.path.join(cls.work.name, "web")
        os.mkdir(web)
        cls.upstream = start_upstream(cls.upstream_dir)
        cls.web = stack.start_front(SERVER, GATEWAY, web, cls.upstream)

    @classmethod
    def tearDownClass(cls):
        stack.stop_stack(cls.web, cls.upstream)
        cls.work.cleanup()

    def test_git_clones_fetches_and_pushes_through_the_mount(self):
        for version in GIT_VERSIONS:
            limit = GIT_LIMITS.get(SERVER, {}).get(f"protocol v{version}")
            if limit:
                with self.subTest(version=version):
                    self.skipTest(limit)
                continue
            repo = upstream_repo(self.upstream_dir, version)
            with tempfile.TemporaryDirectory() as tmp:
                run, pushed, failed = GitRun(self, tmp, version, repo), [], None
                for name, step in GIT_STEPS:
                    with self.subTest(version=version, step=name):
                        if name in GIT_LIMITS.get(SERVER, {}):
                            self.skipTest(GIT_LIMITS[SERVER][name])
                        if failed:
                            self.fail(f"not run: {failed!r} failed")
                        try:
                            pushed += step(run)
                        except BaseException:
                            failed = name
                            raise
                with self.subTest(version=version, step="the upstream repository"):
                    git(["-C", repo, "fsck", "--strict", "--no-dangling"])
                    held = git(["-C", repo, "rev-list", "--all"]).split()
                    self.assertEqual(sorted(held), sorted(pushed))
                    refs = git(["-C", repo, "for-each-ref", "--format=%(refname) %(objectname)"])
                    self.assertEqual(dict(line.split() for line in refs.splitlines()), run.refs)

    @unittest.skipUnless(SERVER in LITMUS_SERVERS, "no WebDAV through this server")
    def test_litmus_suites_pass_through_the_mount(self):
        # Each suite first at the upstream itself, where every test passes: a
        # failure through the mount is then the mount's.
        direct = f"http://127.0.0.1:{stack.UPSTREAM_PORT}/dav/"
        for case in LITMUS_CASES:
            for where, url, may_fail in (("upstream", direct, ()),
                                         ("mount", f"{BASE}/dav/", case.may_fail)):
                with self.subTest(suite=case.suite, where=where), \
                        tempfile.TemporaryDirectory() as tmp:
                    results, summary, output = litmus(case.suite, url, tmp)
                    failed = {name for (_, name), outcome in results.items() if outcome != "pass"}
                    detail = "\n".join(line for line in output.splitlines()
                                       if "FAIL" in line or "summary" in line)
                    self.assertTrue(summary, output[-2000:])
                    self.assertEqual(int(summary.group(1)), case.count, detail)
                    self.assertEqual(len(results), case.count, detail)
                    self.assertEqual(list(results.values()).count("pass"), int(summary.group(2)))
                    self.assertLessEqual(failed, set(may_fail), detail)

def why_not():
    reason = stack.why_not(SERVER)
    missing = [t for t in ("apache2", "git", "litmus", GIT_BACKEND)
               if not shutil.which(t, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")]
    if reason or missing:
        return reason or f"no {', '.join(missing)}"
    if os.geteuid() != 0 or stack.in_user_namespace():
        return "the upstream (Apache) drops privileges to another user, which needs real root"
    return None


if __name__ == "__main__":
    GATEWAY = os.path.abspath(sys.argv.pop(1))
    if SERVER not in stack.SERVERS:
        sys.exit(f"STACK_SERVER={SERVER}: not one of {', '.join(stack.SERVERS)}")
    reason = why_not()
    if reason:
        print(f"skipped: {reason}")
        sys.exit(77)
    unittest.main(verbosity=2)
