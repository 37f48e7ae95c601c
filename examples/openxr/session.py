"""Starting and stopping the pieces of a headless run: the runtime service with the
remote driver in a private runtime folder, the scripted user and the host. Every
process started here is stopped on every way out.

The remote driver listens for its TCP peer on every interface. So the service runs in a
network namespace of its own, with loopback alone, and the scripted user joins it there;
the host reaches the service through its socket in the runtime folder, a file, which no
network namespace hides."""

from __future__ import annotations

import contextlib
import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "shared"))
import script  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SOCKET = "monado_comp_ipc"
# How long the service may take to open its socket: about 0.3 s alone, but a shared
# machine under load once took more than 5 s for every start of one test module.
STARTUP_S = 15.0
NETWORK = "SPATIAL_XR_NETWORK"  # in the service's environment: its network namespace
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
# From the service's launch to the script's second 0. The host must have its session
# running by then or it misses the script's first moves: with both cores busy it took
# 0.6 to 0.9 s here, and a CI machine once took longer than 1.8 s.
LEAD_NS = 3_000_000_000


class ServiceError(Exception):
    pass


def own_network() -> None:
    """In a child before it runs: a network namespace of its own, its loopback up."""
    os.unshare(os.CLONE_NEWNET)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH22x", b"lo", 0)
        flags = struct.unpack("16sH22x", fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH22x", b"lo", flags | IFF_UP))


def join_network(path: str):  # type: ignore[no-untyped-def]
    """For a child: joins the network namespace at `path` before it runs."""
    def join() -> None:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.setns(fd, os.CLONE_NEWNET)
        finally:
            os.close(fd)
    return join


def stop(process: subprocess.Popen | None, grace: float = 2.0) -> None:
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


@contextlib.contextmanager
def service(log_path: str) -> Iterator[tuple[dict[str, str], subprocess.Popen, int]]:
    """The runtime service, headless, driven by the remote driver: yields the
    environment its clients need, the process, and its launch time (monotonic ns)."""
    if shutil.which("monado-service") is None:
        raise ServiceError("monado-service is not installed (make demo-openxr runs in the toolchain that has it)")
    folder = tempfile.mkdtemp(prefix="spatial-xr-")
    env = dict(os.environ, XDG_RUNTIME_DIR=folder, XRT_COMPOSITOR_NULL="true", XRT_NO_STDIN="true",
               P_OVERRIDE_ACTIVE_CONFIG="remote", OXR_NO_PRINTING_STDERR="true")
    process = None
    try:
        with open(log_path, "w") as log:
            launched = time.monotonic_ns()
            try:
                process = subprocess.Popen(["monado-service"], env=env, stdin=subprocess.DEVNULL, stdout=log,
                                           stderr=subprocess.STDOUT, preexec_fn=own_network)
            except subprocess.SubprocessError:
                raise ServiceError("could not give monado-service a network of its own (a network namespace "
                                   "needs root, or an unprivileged user namespace)") from None
        env[NETWORK] = f"/proc/{process.pid}/ns/net"
        deadline = time.monotonic() + STARTUP_S
        while not os.path.exists(os.path.join(folder, SOCKET)):
            if process.poll() is not None:
                raise ServiceError(f"monado-service exited with {process.returncode} (log: {log_path})")
            if time.monotonic() > deadline:
                raise ServiceError(f"monado-service opened no socket within {STARTUP_S:g} s (log: {log_path})")
            time.sleep(0.01)
        yield env, process, launched
    finally:
        stop(process)
        shutil.rmtree(folder, ignore_errors=True)


ALL = ",".join(script.PHASES)
SPOKEN_PHASES = ",".join(script.SPOKEN_PHASES)  # the ways of pointing this runtime has


def scripted_user(env: dict[str, str], start_ns: int, seconds: float, phases: str = ALL,
                  overlap: float = 0.0) -> subprocess.Popen:
    """The scripted user, in the service's network namespace, where the driver listens."""
    return subprocess.Popen([sys.executable, os.path.join(HERE, "scripted_user.py"), str(start_ns), str(seconds),
                             "--phases", phases, "--overlap", str(overlap)],
                            env=env, stdin=subprocess.DEVNULL, preexec_fn=join_network(env[NETWORK]))


EXAMPLES = os.path.dirname(HERE)


def host_command(start_ns: int, seconds: float, out_dir: str, prefix: str = "openxr", piped: bool = False,
                 speak: bool = False, phases: str = ALL, hands: bool = True) -> list[str]:
    """The host, run from examples/ as the module openxr.host (cwd=EXAMPLES). Piped, its
    frames go to standard output and the script's utterances are left to the consumer;
    speaking, the scripted user says its commands aloud, and frames and events go to one
    session file too."""
    said = ["--speak", "--session", os.path.join(out_dir, f"{prefix}-session.jsonl")] if speak else \
        [] if piped else ["--script"]
    return [sys.executable, "-m", "openxr.host", "--seconds", str(seconds), "--start-ns", str(start_ns), "--stage",
            "--phases", phases, *said, *([] if hands else ["--no-hands"]),
            "--frames", "-" if piped else os.path.join(out_dir, f"{prefix}-frames.jsonl"),
            "--events", os.path.join(out_dir, f"{prefix}-events.jsonl"),
            "--summary", os.path.join(out_dir, f"{prefix}-summary.json")]


def play(out_dir: str, seconds: float, prefix: str = "openxr", speak: bool = False, lead_ns: int = LEAD_NS,
         timeout: float = 90.0, phases: str | None = None, overlap: float = 0.0,
         **run: object) -> tuple[subprocess.CompletedProcess, int]:
    """One run of the script on a runtime of its own: the host's finished process and
    the script's second 0 (monotonic ns)."""
    phases = phases or (SPOKEN_PHASES if speak else ALL)
    if run.pop("capture_output", False):
        run.update(stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with service(os.path.join(out_dir, f"{prefix}-service.log")) as (env, _, launched):
        start = launched + lead_ns
        user = scripted_user(env, start, seconds, phases, overlap)
        host = None
        try:
            host = subprocess.Popen(host_command(start, seconds, out_dir, prefix, speak=speak, phases=phases),
                                    env=env, cwd=EXAMPLES, stdin=subprocess.DEVNULL, **run)
            out, err = watch(host, user, timeout)
        finally:
            stop(host)
            stop(user)
    return subprocess.CompletedProcess(host.args, host.returncode, out, err), start


def watch(host: subprocess.Popen, user: subprocess.Popen, timeout: float) -> tuple[object, object]:
    """Waits for the host (at most `timeout` s) and its output. The runtime keeps the last
    state it was sent when the scripted user's stream stops, and tells its clients
    nothing: so the host is told here (SIGUSR1), and ends with one line and status 1."""
    deadline = time.monotonic() + timeout
    told = False
    while True:
        try:
            return host.communicate(timeout=0.05)
        except subprocess.TimeoutExpired:
            if not told and user.poll() is not None:
                host.send_signal(signal.SIGUSR1)
                told = True
            if time.monotonic() > deadline:
                host.kill()
                host.communicate()
                raise


def consumer_command(start_ns: int, seconds: float, out_dir: str, prefix: str = "split") -> list[str]:
    """The other end of the pipe: frames from standard input, the script's utterances."""
    return [sys.executable, os.path.join(HERE, "consumer.py"), "--start-ns", str(start_ns), "--seconds", str(seconds),
            "--frames", os.path.join(out_dir, f"{prefix}-frames.jsonl"),
            "--events", os.path.join(out_dir, f"{prefix}-events.jsonl"),
            "--summary", os.path.join(out_dir, f"{prefix}-summary.json")]


@contextlib.contextmanager
def terminated_on_signal() -> Iterator[None]:
    """SIGINT (even where a parent left it ignored) and SIGTERM unwind as Ctrl-C does,
    so that the finally clauses stop every process."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = {sig: signal.signal(sig, interrupt) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
