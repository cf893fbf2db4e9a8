#!/usr/bin/env python3
"""Crash-consistency campaign of mirelo-update-helper.

Runs real --prepare, --discard and --run sessions (a signed application 1.0.0 installed, its
signed update 2.0.0 as an archive, a /bin/sleep process playing the desktop application) and

  * kills the helper with SIGKILL at the k-th call of a system call, for every k that the
    reference run reaches (strace -f -b execve -e inject=SYSCALL:signal=SIGKILL:when=k; the
    counters are per thread, and tools the helper starts are let go at their execve),
  * kills it at random instants,
  * makes system calls fail (strace -e inject=SYSCALL:error=E:when=k),

and after each run checks what is on disk:

  * the installed application is whole and exactly the old or the new version: its
    inventory digest is one of the two and it verifies strictly (nested code too);
  * every record is absent or whole and decodable; ".pending-" files are left alone;
  * after the next --discard (or, for some points, --prepare) on the preparation directory,
    no staging folder is left that no record names, except the empty folder of a kill
    between the folder's creation and the rename of "claim.json" (counted, not a failure);
  * an injected failure never ends in a reported success that is not one.

  testing/crash_campaign.py --build build --sample        the bounded CI sample
  testing/crash_campaign.py --build build                 the full campaign
  testing/crash_campaign.py --build build --modes prepare --kill-stride 1 --faults 0 ...

Prints one line per failed check and a JSON summary at the end; exit 1 when any check failed.
"""

import argparse
import collections
import hashlib
import stat
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

IDENTIFIER = "com.mirelo.desktop"
RECORDS = {  # file name -> kind for mirelo-crash-check, None for the session's own texts
    "request.json": "request",
    "claim.json": "claim",
    "prepared.json": "prepared",
    "adopted.json": "prepared",
}
PHASES = {"installing", "complete", "cancel", "expired"}
# System calls that change the disk or the process tree: every call is a kill point.
CHANGING = [
    "openat", "write", "pwrite64", "writev", "fsync", "fdatasync", "syncfs", "sync", "rename", "renameat",
    "renameat2", "mkdir", "mkdirat", "unlink", "unlinkat", "rmdir", "symlinkat", "linkat", "fchmod",
    "fchmodat", "utimensat", "ftruncate", "flock", "clone", "clone3", "vfork", "close", "exit_group",
]
# System calls and errors for fault injection.
FAULTS = {
    "fsync": ["EIO", "ENOSPC", "EINTR"],
    "fdatasync": ["EIO"],
    "syncfs": ["EIO", "ENOSPC"],
    "write": ["EIO", "ENOSPC", "EINTR"],
    "rename": ["EXDEV", "EBUSY", "EIO"],
    "renameat2": ["EXDEV", "EBUSY", "EIO"],
    "mkdir": ["ENOSPC", "EIO"],
    "mkdirat": ["ENOSPC", "EIO"],
    "openat": ["EIO", "ENOSPC", "EINTR"],
    "unlinkat": ["EBUSY", "EIO"],
    "unlink": ["EBUSY", "EIO"],
    "rmdir": ["EBUSY", "EIO"],
    "flock": ["EINTR", "EIO"],
    "clone": ["EAGAIN"],
    "clone3": ["EAGAIN"],
    "getdents64": ["EIO"],
    "read": ["EIO", "EINTR"],
}


def tree_signature(bundle):
    """What makes a bundle this version, apart from times: every path with its kind,
    permission bits and content (or link target). None when the tree cannot be read."""
    entries = []
    try:
        for folder, dirs, files in os.walk(bundle):
            dirs.sort()
            for name in sorted(dirs + files):
                path = os.path.join(folder, name)
                info = os.lstat(path)
                relative = os.path.relpath(path, bundle)
                if stat.S_ISLNK(info.st_mode):
                    entries.append((relative, "l", os.readlink(path)))
                elif stat.S_ISDIR(info.st_mode):
                    entries.append((relative, "d", oct(info.st_mode & 0o7777)))
                elif stat.S_ISREG(info.st_mode):
                    with open(path, "rb") as f:
                        digest = hashlib.sha256(f.read()).hexdigest()
                    entries.append((relative, "f", oct(info.st_mode & 0o7777), digest))
                else:
                    entries.append((relative, "?"))
    except OSError:
        return None
    return hashlib.sha256(repr(entries).encode()).hexdigest()


class Fixture:
    """Programs and the two versions of the application, made once per campaign."""

    def __init__(self, build, scratch):
        self.bin = os.path.join(build, "bin")
        self.scratch = scratch
        self.key = os.path.join(scratch, "developer.pem")
        self.tool("mirelo-codesign", "keygen", self.key)
        self.old = os.path.join(scratch, "old")
        self.make_bundle(self.old, "1.0.0")
        new = os.path.join(scratch, "new")
        self.make_bundle(new, "2.0.0")
        self.archive = os.path.join(scratch, "downloads", "Mirelo-2.0.0.zip")
        os.makedirs(os.path.dirname(self.archive))
        self.tool("mirelo-sample-app", "archive", os.path.join(new, "Mirelo.app"), self.archive)
        self.old_digest = self.inventory(os.path.join(self.old, "Mirelo.app"))
        # An extraction gives some items (links, some folders) the time of the extraction, so
        # the new version's inventory digest is known only per candidate; the version itself
        # is recognised by its tree without times, as unzip writes it.
        unpacked = os.path.join(scratch, "unpacked")
        subprocess.run(["unzip", "-qq", self.archive, "-d", unpacked], check=True)
        self.trees = {"old": tree_signature(os.path.join(self.old, "Mirelo.app")),
                      "new": tree_signature(os.path.join(unpacked, "Mirelo.app"))}
        self.counter = 0

    def program(self, name):
        return os.path.join(self.bin, name)

    def tool(self, name, *args):
        result = subprocess.run([self.program(name), *args], capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"{name} {args[0]}: {result.stderr}")
        return result.stdout

    def make_bundle(self, out, version):
        self.tool("mirelo-sample-app", "bundle", "--identifier", IDENTIFIER, "--version", version, "--files", "40",
                  "--bytes", "100000", "--key", self.key, out)

    def inventory(self, bundle):
        result = subprocess.run([self.program("mirelo-crash-check"), "inventory", bundle], capture_output=True,
                                text=True)
        return result.stdout.strip() if result.returncode == 0 else None


class Machine:
    """One fresh machine for one run: installed 1.0.0, a preparation and a session directory."""

    def __init__(self, fixture):
        fixture.counter += 1
        self.f = fixture
        self.root = os.path.join(fixture.scratch, f"m{fixture.counter}")
        self.applications = os.path.join(self.root, "Applications")
        self.jobs = os.path.join(self.root, "jobs")
        self.prepare_dir = os.path.join(self.jobs, "prepare-1")
        self.session_dir = os.path.join(self.jobs, "session-1")
        for folder in (self.applications, self.prepare_dir, self.session_dir):
            os.makedirs(folder)
        subprocess.run(["cp", "-a", os.path.join(fixture.old, "Mirelo.app"), self.applications], check=True)
        self.installed = os.path.join(self.applications, "Mirelo.app")
        self.executable = os.path.join(self.installed, "Contents/MacOS/Mirelo")
        with open(os.path.join(self.prepare_dir, "request.json"), "w") as out:
            json.dump({"archive": fixture.archive, "executable": self.executable, "version": "2.0.0",
                       "tag": "stable-2.0.0"}, out)
        self.application = None
        self.new_digest = None  # the inventory digest of this machine's prepared candidate

    def helper(self, mode, directory):
        return [self.f.program("mirelo-update-helper"), mode, directory]

    def run_helper(self, mode, directory, timeout=120):
        try:
            return subprocess.run(self.helper(mode, directory), capture_output=True, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            # subprocess.run has killed it; a hang is a finding like any other status.
            return "timeout"

    def start_application(self):
        self.application = subprocess.Popen(["/bin/sleep", "600"])
        return self.application.pid

    def write_install_request(self, prepared):
        request = {"archive": self.f.archive, "executable": self.executable, "version": "2.0.0",
                   "pid": self.start_application()}
        if prepared:
            request["prepared"] = self.prepare_dir
        with open(os.path.join(self.session_dir, "native-install.json"), "w") as out:
            json.dump(request, out)

    def session_environment(self):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env["MIRELO_SAMPLE_CONFIRM"] = self.session_dir
        env["MIRELO_SESSION_DEADLINE_MS_FOR_TESTING"] = "20000"
        return env

    def write_phase(self, text):
        temporary = os.path.join(self.session_dir, ".phase.new")
        with open(temporary, "w") as out:
            out.write(text)
        os.rename(temporary, os.path.join(self.session_dir, "phase"))

    def drive_session(self, process, limit=60):
        """Plays the desktop application until the session's process ends: on "ready" it
        writes "installing" and quits. Returns the exit status."""
        end = time.monotonic() + limit
        installing = False
        while process.poll() is None:
            if time.monotonic() > end:
                process.kill()
                process.wait()
                return "timeout"
            if not installing and os.path.exists(os.path.join(self.session_dir, "ready")):
                self.write_phase("installing")
                self.quit_application()
                installing = True
            if self.expired():
                # The expired session waits for its window to be closed: close it. The
                # signal goes to the helper itself, also when strace runs it.
                if not self.signal_helpers(signal.SIGTERM):
                    process.terminate()
            time.sleep(0.01)
        return process.returncode

    def adopted(self):
        """True when the session took the prepared candidate rather than the archive."""
        if not os.path.exists(os.path.join(self.session_dir, "adopted.json")):
            return False
        log = os.path.join(self.jobs, "launcher-events.jsonl")
        return not (os.path.exists(log) and "update-prepared-fallback" in open(log).read())

    def expired(self):
        try:
            with open(os.path.join(self.session_dir, "phase")) as f:
                return f.read() == "expired"
        except OSError:
            return False

    def quit_application(self):
        if self.application and self.application.poll() is None:
            self.application.terminate()
            self.application.wait()

    def staging_folders(self):
        return sorted(os.path.join(self.applications, n) for n in os.listdir(self.applications)
                      if n.startswith(".mirelo-update-"))

    def leftover_helpers(self):
        """Helpers still running on this machine's folders: a session that strace let go of
        when strace itself was stopped, say."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    words = f.read().split(b"\0")
            except OSError:
                continue
            if any(w.endswith(b"mirelo-update-helper") for w in words) and \
                    any(w.startswith(self.root.encode()) for w in words):
                found.append(int(entry))
        return found

    def signal_helpers(self, signum):
        """Sends `signum` to every helper of this machine still running; returns their pids."""
        helpers = self.leftover_helpers()
        for pid in helpers:
            try:
                os.kill(pid, signum)
            except OSError:
                pass
        return helpers

    def close(self):
        self.quit_application()
        # The relaunched sample application confirms and exits by itself; a helper that is
        # still running is ended, so that no run leaves a process behind.
        self.signal_helpers(signal.SIGKILL)
        subprocess.run(["chmod", "-R", "u+w", self.root], capture_output=True)
        shutil.rmtree(self.root, ignore_errors=True)


class Checks:
    def __init__(self):
        self.failures = []
        self.counts = collections.Counter()

    def fail(self, where, text):
        self.failures.append(f"{where}: {text}")
        print(f"FAIL {where}: {text}", flush=True)

    def installed(self, m, where):
        """The installed application is whole and exactly one of the two versions."""
        digest = m.f.inventory(m.installed)
        tree = tree_signature(m.installed)
        version = next((v for v, t in m.f.trees.items() if t == tree), None)
        if version is None or digest is None:
            self.fail(where, f"installed application is neither version (tree {tree}, digest {digest})")
            return None
        if version == "old" and digest != m.f.old_digest:
            self.fail(where, "installed application 1.0.0 has changed")
        if version == "new" and m.adopted() and digest != m.new_digest:
            self.fail(where, "installed application 2.0.0 is not the prepared candidate")
        verify = subprocess.run([m.f.program("mirelo-codesign"), "verify", "--strict", "--nested", m.installed],
                                capture_output=True, text=True)
        if verify.returncode != 0:
            self.fail(where, f"installed application does not verify: {verify.stderr.strip()}")
        return version

    def records(self, m, where):
        """Every record is absent or whole; returns the staging folders the records name."""
        named = set()
        for directory in (m.prepare_dir, m.session_dir):
            for name in os.listdir(directory):
                path = os.path.join(directory, name)
                if name.startswith(".pending-"):
                    self.counts["pending files left"] += 1
                    continue
                kind = RECORDS.get(name)
                if kind:
                    ok = subprocess.run([m.f.program("mirelo-crash-check"), "record", kind, path]).returncode == 0
                    if not ok:
                        self.fail(where, f"{name} in {os.path.basename(directory)} is not a whole record")
                        continue
                    if kind != "request":
                        with open(path) as f:
                            named.add(json.load(f)["staging"])
                elif name == "failure.json":
                    try:
                        with open(path) as f:
                            failure = json.load(f)
                        if not isinstance(failure.get("stage"), str) or not isinstance(failure.get("reason"), str):
                            raise ValueError("keys")
                    except Exception as error:  # noqa: BLE001 - any defect of the file is the finding
                        self.fail(where, f"failure.json is not whole: {error}")
                elif name == "phase":
                    text = open(path).read()
                    if text not in PHASES:
                        self.fail(where, f"phase holds {text!r}")
                elif name == "ready":
                    if open(path).read() != "ready":
                        self.fail(where, "ready is not whole")
        return named

    def orphans(self, m, named, where, session):
        """Staging folders that no record names: an empty one is the documented window. A
        session that builds its candidate from the archive keeps its staging folder in no
        record at all; those are counted on their own."""
        window = other = 0
        for folder in m.staging_folders():
            if folder in named:
                continue
            if not os.listdir(folder):
                window += 1
            elif session:
                self.counts["session staging folders named by no record"] += 1
            else:
                other += 1
                self.fail(where, f"staging folder {os.path.basename(folder)} with content is named by no record")
        return window, other


def strace(m, argv, inject, trace_file):
    return ["strace", "-f", "-b", "execve", "-qq", "-o", trace_file, "-e", "trace=all", "-e", f"inject={inject}",
            *argv]


def reference_counts(m, argv, env, session):
    """Per system call, the highest count that one thread of the helper reaches."""
    trace = os.path.join(m.root, "trace")
    process = subprocess.Popen(["strace", "-f", "-b", "execve", "-qq", "-o", trace, *argv], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    status = m.drive_session(process) if session else process.wait()
    counts = collections.defaultdict(collections.Counter)
    with open(trace) as f:
        for line in f:
            found = re.match(r"(\d+)\s+(?:<\.\.\. )?([a-z0-9_]+)\(", line)
            if found and "resumed>" not in line:
                counts[found.group(2)][found.group(1)] += 1
    return status, {name: max(per.values()) for name, per in counts.items()}


class Campaign:
    def __init__(self, args):
        self.args = args
        self.checks = Checks()
        self.rng = random.Random(args.seed)
        self.stats = collections.defaultdict(collections.Counter)
        self.faults = collections.defaultdict(collections.Counter)
        self.scratch = tempfile.mkdtemp(prefix="mirelo-crash-")
        self.f = Fixture(args.build, self.scratch)
        self.references = {}
        self.durations = {}
        self.deadline = time.monotonic() + args.budget if args.budget else None

    def out_of_time(self):
        return self.deadline is not None and time.monotonic() > self.deadline

    # The three scenarios. Each returns (argv, env, session, machine) ready to start.
    def scenario(self, mode):
        m = Machine(self.f)
        env = dict(os.environ)
        session = False
        if mode == "prepare":
            argv = m.helper("--prepare", m.prepare_dir)
        elif mode == "discard":
            if m.run_helper("--prepare", m.prepare_dir) != 0:
                self.checks.fail("discard set-up", "the preparation failed")
            argv = m.helper("--discard", m.prepare_dir)
        else:
            adopt = mode == "run-adopt"
            if adopt:
                if m.run_helper("--prepare", m.prepare_dir) != 0:
                    self.checks.fail("run set-up", "the preparation failed")
                with open(os.path.join(m.prepare_dir, "prepared.json")) as f:
                    m.new_digest = json.load(f)["inventory"]
            m.write_install_request(prepared=adopt)
            env = m.session_environment()
            argv = m.helper("--run", m.session_dir)
            session = True
        return m, argv, env, session

    def execute(self, m, argv, env, session, inject=None, kill_after=None):
        if inject:
            argv = strace(m, argv, inject, os.path.join(m.root, "trace"))
        process = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if kill_after is not None:
            end = time.monotonic() + kill_after
            if session:
                # Drive the session until the chosen instant, then kill.
                installing = False
                while process.poll() is None and time.monotonic() < end:
                    if not installing and os.path.exists(os.path.join(m.session_dir, "ready")):
                        m.write_phase("installing")
                        m.quit_application()
                        installing = True
                    time.sleep(0.002)
            else:
                try:
                    process.wait(timeout=kill_after)
                except subprocess.TimeoutExpired:
                    pass
            if process.poll() is None:
                process.kill()
            process.wait()
            return process.returncode
        if session:
            return m.drive_session(process)
        try:
            return process.wait(timeout=180)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            return "timeout"

    def after(self, m, mode, where, next_op):
        """The invariants, then the next operation on the preparation directory."""
        m.quit_application()
        version = self.checks.installed(m, where)
        self.checks.records(m, where)
        if next_op == "prepare":
            status = m.run_helper("--prepare", m.prepare_dir)
            if status != 0:
                self.checks.fail(where, f"the next --prepare exited {status}")
        else:
            status = m.run_helper("--discard", m.prepare_dir)
            if status != 0:
                self.checks.fail(where, f"the next --discard exited {status}")
        named = self.checks.records(m, where + " (after next " + next_op + ")")
        window, other = self.checks.orphans(m, named, where, mode.startswith("run"))
        if next_op == "prepare" and status == 0:
            prepared = os.path.join(m.prepare_dir, "prepared.json")
            if not os.path.exists(prepared) or len([s for s in m.staging_folders() if s in named]) < 1:
                self.checks.fail(where, "the next --prepare left no prepared candidate")
        return version, window, other

    def reference(self, mode):
        m, argv, env, session = self.scenario(mode)
        status, counts = reference_counts(m, argv, env, session)
        expected = 0
        if status != expected:
            self.checks.fail(f"{mode} reference", f"exited {status}")
        started = time.monotonic()
        m2, argv2, env2, session2 = self.scenario(mode)
        self.execute(m2, argv2, env2, session2)
        self.durations[mode] = time.monotonic() - started
        version = self.checks.installed(m2, f"{mode} reference")
        if session2 and version != "new":
            self.checks.fail(f"{mode} reference", "the session did not install the new version")
        m.close()
        m2.close()
        self.references[mode] = counts

    def kill_points(self, mode):
        counts = self.references[mode]
        points = []
        for name, highest in sorted(counts.items()):
            stride = 1 if name in CHANGING else self.args.read_stride
            stride = max(stride, self.args.kill_stride)
            points += [(name, k) for k in range(1, highest + 1, stride)]
        self.rng.shuffle(points)
        if self.args.shard:
            # Shard i of n from the end of the same order, so that several campaigns with one
            # seed (and one from the start) share no point.
            index, count = (int(x) for x in self.args.shard.split("/"))
            points = points[::-1][index::count]
        if self.args.max_kills:
            points = points[: self.args.max_kills]
        return points

    def kill_tasks(self, mode):
        return [(lambda i=index, n=name, k=k: self.run_kill(mode, i, n, k))
                for index, (name, k) in enumerate(self.kill_points(mode))]

    def run_kill(self, mode, index, name, k):
        m, argv, env, session = self.scenario(mode)
        status = self.execute(m, argv, env, session, inject=f"{name}:signal=SIGKILL:when={k}")
        killed = status == -signal.SIGKILL
        where = f"{mode} kill {name}#{k}"
        if self.args.verbose:
            print(f"point {where}: {status}", flush=True)
        version, window, other = self.after(m, mode, where, "prepare" if index % 4 == 3 else "discard")
        self.stats[mode]["kill points"] += 1
        self.stats[mode]["killed" if killed else "finished before the point"] += 1
        self.stats[mode][f"installed {version}"] += 1
        self.stats[mode]["orphan in the window"] += window
        self.stats[mode]["orphan outside the window"] += other
        m.close()

    def random_tasks(self, mode, count):
        return [(lambda i=index: self.run_random(mode, i)) for index in range(count)]

    def run_random(self, mode, index):
        m, argv, env, session = self.scenario(mode)
        instant = self.rng.uniform(0, self.durations[mode])
        status = self.execute(m, argv, env, session, kill_after=instant)
        if self.args.verbose:
            print(f"{mode} random {instant:.3f}s of {self.durations[mode]:.3f}s: {status}", flush=True)
        where = f"{mode} random kill at {instant:.3f}s"
        version, window, other = self.after(m, mode, where, "prepare" if index % 4 == 3 else "discard")
        self.stats[mode]["random instants"] += 1
        self.stats[mode]["random: killed" if status == -signal.SIGKILL else "random: finished"] += 1
        self.stats[mode][f"installed {version}"] += 1
        self.stats[mode]["orphan in the window"] += window
        self.stats[mode]["orphan outside the window"] += other
        m.close()

    def fault_tasks(self, mode, per_site):
        counts = self.references[mode]
        plan = []
        for name, errors in FAULTS.items():
            highest = counts.get(name, 0)
            if not highest:
                continue
            sites = list(range(1, highest + 1))
            if per_site and len(sites) > per_site:
                sites = sorted(self.rng.sample(sites, per_site))
            plan += [(name, error, k) for error in errors for k in sites]
        self.rng.shuffle(plan)
        if self.args.max_faults:
            plan = plan[: self.args.max_faults]
        return [(lambda n=name, e=error, k=k: self.run_fault(mode, n, e, k)) for name, error, k in plan]

    def run_fault(self, mode, name, error, k):
        m, argv, env, session = self.scenario(mode)
        status = self.execute(m, argv, env, session, inject=f"{name}:error={error}:when={k}")
        where = f"{mode} fault {name}#{k}={error}"
        outcome = self.fault_outcome(m, mode, status, where)
        if mode == "prepare" and name == "syncfs" and status == 0:
            # A failed flush of the volume is seen by that one flush only.
            self.checks.fail(where, "the preparation succeeded although a flush of the volume failed")
        version, window, other = self.after(m, mode, where, "discard")
        self.faults[f"{mode} {name} {error}"][outcome] += 1
        self.stats[mode]["faults"] += 1
        self.stats[mode]["orphan outside the window"] += other
        m.close()

    def fault_outcome(self, m, mode, status, where):
        failure_path = os.path.join(m.prepare_dir if mode in ("prepare", "discard") else m.session_dir,
                                    "failure.json")
        reason = None
        if os.path.exists(failure_path):
            try:
                with open(failure_path) as f:
                    reason = json.load(f).get("reason")
            except Exception:  # noqa: BLE001 - reported by the record checks
                reason = "(unreadable)"
        if mode == "prepare":
            if status == 0:
                # A success must be one: the record names a parked, whole candidate.
                prepared = os.path.join(m.prepare_dir, "prepared.json")
                try:
                    with open(prepared) as f:
                        record = json.load(f)
                    parked = os.path.join(record["staging"], "prepared")
                    if os.lstat(parked).st_ino != record["candidateInode"]:
                        raise ValueError("candidate inode")
                    if self.f.inventory(parked) != record["inventory"]:
                        raise ValueError("candidate digest")
                    if tree_signature(parked) != self.f.trees["new"]:
                        raise ValueError("candidate is not 2.0.0")
                except Exception as error:  # noqa: BLE001
                    self.checks.fail(where, f"exit 0 without a whole prepared candidate: {error}")
                return "exit 0 (prepared)"
            if status == 2 and reason is None:
                return "exit 2 (lock or request), no failure.json"
            if status in (1, 2, 4):
                if reason is None:
                    self.checks.fail(where, f"exit {status} without failure.json")
                return f"exit {status}: {reason}"
            return f"exit {status}"
        if mode == "discard":
            return f"exit {status}"
        installed = self.checks.installed(m, where)
        phase_path = os.path.join(m.session_dir, "phase")
        phase = open(phase_path).read() if os.path.exists(phase_path) else None
        if phase == "complete" and installed != "new":
            self.checks.fail(where, "the session completed without installing the new version")
        text = f"exit {status}, {installed}, phase {phase}"
        return text + (f", {reason}" if reason else "")

    def close(self):
        shutil.rmtree(self.scratch, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--modes", default="prepare,discard,run-adopt,run-archive")
    parser.add_argument("--kill-stride", type=int, default=1, help="every n-th call of each system call")
    parser.add_argument("--read-stride", type=int, default=5,
                        help="stride for system calls that change nothing (reads, stats, maps)")
    parser.add_argument("--max-kills", type=int, default=0, help="per mode, 0 for all")
    parser.add_argument("--random", type=int, default=60, help="random instants per mode")
    parser.add_argument("--fault-sites", type=int, default=6, help="call sites per system call and error, 0 for all")
    parser.add_argument("--max-faults", type=int, default=0, help="per mode, 0 for all")
    parser.add_argument("--fault-modes", default="prepare,run-adopt")
    parser.add_argument("--budget", type=float, default=0, help="stop starting new runs after this many seconds")
    parser.add_argument("--seed", type=int, default=14)
    parser.add_argument("--sample", action="store_true", help="the bounded CI sample")
    parser.add_argument("--report", help="write the summary as JSON to this file")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--shard", help="I/N: take every N-th kill point from the end, starting at I")
    parser.add_argument("--kills-only", action="store_true", help="no fault injection")
    parser.add_argument("--faults-only", action="store_true", help="only fault injection")
    parser.add_argument("--plan", action="store_true", help="only count the kill points of each mode")
    args = parser.parse_args()
    if args.sample:
        args.max_kills, args.random, args.max_faults, args.fault_sites = 5, 2, 4, 2
        args.budget = args.budget or 120
    if shutil.which("strace") is None:
        print("strace is missing (tools/install-deps.sh installs it)", file=sys.stderr)
        return 2
    if subprocess.run(["strace", "-qq", "-o", "/dev/null", "true"]).returncode != 0:
        print("SKIP: this machine does not let strace trace a process (ptrace refused)", file=sys.stderr)
        return 77

    campaign = Campaign(args)
    started = time.monotonic()
    try:
        modes = args.modes.split(",")
        for mode in ["prepare"] + [m for m in modes if m != "prepare"]:
            campaign.reference(mode)
        if args.plan:
            for mode in modes:
                print(mode, len(campaign.kill_points(mode)), "kill points;",
                      sum(campaign.references[mode].values()), "system calls in the reference run")
            return 0
        # One queue per mode, taken in turns, so that a budget that runs out leaves every
        # mode with its share.
        queues = []
        for mode in modes:
            tasks = []
            if not args.faults_only:
                kills, randoms = campaign.kill_tasks(mode), campaign.random_tasks(mode, args.random)
                # Random instants spread over the kill points.
                tasks = kills + randoms
                campaign.rng.shuffle(tasks)
            if mode in args.fault_modes.split(",") and not args.kills_only:
                tasks += campaign.fault_tasks(mode, args.fault_sites)
            queues.append(tasks)
        done = 0
        while any(queues) and not campaign.out_of_time():
            for tasks in queues:
                if tasks and not campaign.out_of_time():
                    tasks.pop(0)()
                    done += 1
                    if args.report and done % 20 == 0:
                        write_summary(campaign, started, args.report)
    finally:
        campaign.close()
    text = write_summary(campaign, started, args.report)
    print(text)
    return 1 if campaign.checks.failures else 0


def write_summary(campaign, started, report):
    summary = {
        "seconds": round(time.monotonic() - started),
        "reference system calls": {mode: sum(c.values()) for mode, c in campaign.references.items()},
        "modes": {mode: dict(c) for mode, c in campaign.stats.items()},
        "faults": {site: dict(c) for site, c in sorted(campaign.faults.items())},
        "other": dict(campaign.checks.counts),
        "failures": campaign.checks.failures,
    }
    text = json.dumps(summary, indent=1)
    if report:
        with open(report + ".new", "w") as out:
            out.write(text + "\n")
        os.replace(report + ".new", report)
    return text


if __name__ == "__main__":
    sys.exit(main())
