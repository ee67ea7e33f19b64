"""The built library's symbols, and the launcher: --devices, finding the
library, the environment it hands over, and its errors."""
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import clean_env as bare_env, loaded_library

REPO = Path(__file__).resolve().parents[3]
LAUNCHER = REPO / "sim" / "nrsim-run"

WRAPPED = {
    "open", "open64", "openat", "openat64", "__open_2", "__open64_2", "__openat_2", "__openat64_2",
    "close", "close_range", "ioctl", "mmap", "mmap64", "munmap", "mremap", "opendir", "readdir", "readdir64",
    "closedir", "realpath", "__realpath_chk", "access", "read", "__read_chk", "pread", "pread64",
    "__pread_chk", "__pread64_chk", "readlink", "readlinkat",
}


def ahead():
    """What the launcher put ahead of the simulator for this process: the
    sanitizer runtime of a sanitized build, nothing otherwise."""
    preload = os.environ.get("LD_PRELOAD", "").replace(" ", ":").split(":")
    return [p for p in preload[:preload.index(str(loaded_library()))] if p]


def tool(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


class TestSymbols:
    def test_every_wrapped_name_is_exported_as_itself(self):
        out = tool("nm", "-D", "--defined-only", str(loaded_library()))
        exported = {line.split()[-1] for line in out.splitlines() if line.split()[1:2] == ["T"]}
        # A large-file build would export open64 alone where open belongs.
        assert WRAPPED <= exported, sorted(WRAPPED - exported)

    def test_control_functions_are_exported(self):
        header = (REPO / "sim" / "include" / "nrsim.h").read_text()
        declared = set(re.findall(r"\b(nrsim_\w+)\(", header))
        out = tool("nm", "-D", "--defined-only", str(loaded_library()))
        assert declared and declared <= {line.split()[-1] for line in out.splitlines()}

    def test_never_calls_a_wrapped_function(self):
        # Its own code reaches the real functions through dlsym and raw
        # system calls only: no wrapped name may be bound by a relocation.
        out = tool("readelf", "-rW", str(loaded_library()))
        bound = {m.group(1) for m in re.finditer(r"^\s*[0-9a-f]+\s+[0-9a-f]+\s+\S+\s+[0-9a-f]+\s+([\w.]+)",
                                                 out, re.M)}
        assert bound, "no relocations parsed"
        assert not WRAPPED & {name.split("@")[0] for name in bound}


def clean_env(**extra):
    return bare_env(**{"NRSIM_LIB": str(loaded_library()), **extra})


def run(*args, env=None, launcher=LAUNCHER):
    return subprocess.run([str(launcher), *args], env=env if env is not None else clean_env(),
                          capture_output=True, text=True, timeout=60)


CARDS = ("import json, nrsim; print(json.dumps([[n, nrsim.identity(n).device_id, "
         "nrsim.identity(n).bus_dev_fn, nrsim.identity(n).pci_domain] for n in nrsim.devices()]))")


def cards(*launcher_args, env=None):
    r = run(*launcher_args, "--", sys.executable, "-c", CARDS, env=env)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


class TestDevices:
    def test_default_pair(self):
        assert cards() == [[0, 0x401e, 0x300, 0], [1, 0xb140, 0x400, 0]]

    def test_numbered_in_order(self):
        assert cards("--devices", "0x1@1:2.3,FFFF@ffff:ff:1f.7,b140@0000:04:00.0") == [
            [0, 1, 0x113, 0], [1, 0xffff, 0xffff, 0xffff], [2, 0xb140, 0x400, 0]]

    def test_equals_form_and_empty(self):
        assert cards("--devices=0xb140@0000:04:00.0") == [[0, 0xb140, 0x400, 0]]
        assert cards("--devices", "") == []

    def test_inherited_unless_given(self):
        env = clean_env(NRSIM_DEVICES="0x401e@0000:09:00.0")
        assert cards(env=env) == [[0, 0x401e, 0x900, 0]]
        assert cards("--devices", "", env=env) == []

    @pytest.mark.parametrize("card_list", [
        "x@1", "0x401e", "0x401e@0000:03:20.0", "0x10000@03:00.0", "0x401e@03:00.0,",
        ",0x401e@03:00.0", "0x401e@03:00.0,,0x401e@04:00.0", "0x401e@03:00.8",
        "0x401e@0000:100:00.0", "0x@03:00.0", "0x401e@0000:03:00.0:0", "*@03:00.0"])
    def test_bad_card_list_is_refused_before_running(self, card_list, tmp_path):
        marker = tmp_path / "ran"
        r = run("--devices", card_list, "--", "touch", str(marker))
        assert r.returncode == 2
        assert "--devices" in r.stderr
        assert not marker.exists()

    def test_python_m_nrsim_run_names_itself(self):
        env = clean_env(PYTHONPATH=str(REPO / "sim" / "python"))
        for args in (["--bogus"], ["--devices", "x@1", "--", "true"]):
            r = subprocess.run([sys.executable, "-m", "nrsim", "run", *args], env=env, capture_output=True,
                               text=True, timeout=60)
            assert r.returncode == 2 and "Try 'python3 -m nrsim run --help'." in r.stderr, r.stderr

    def test_library_reports_a_malformed_setting(self):
        env = clean_env(NRSIM_DEVICES="0x401e@nowhere", LD_PRELOAD=":".join(ahead() + [str(loaded_library())]),
                        PYTHONPATH=str(REPO / "sim" / "python"))
        r = subprocess.run([sys.executable, "-c", CARDS], env=env, capture_output=True, text=True, timeout=60)
        assert r.returncode == 0 and json.loads(r.stdout) == []
        assert "NRSIM_DEVICES" in r.stderr

    def test_library_comes_up_on_first_use_of_a_simulated_place(self):
        # Calls that only pass through (other runtimes' own mmaps while they
        # start, say) must not bring the simulator up: the malformed setting
        # is reported only when a simulated place is first touched.
        script = ("import mmap, os, sys\n"
                  "m = mmap.mmap(-1, 1 << 16); m[0:1] = b'x'; m.close()\n"
                  "os.listdir('/proc/self/fd')\n"
                  "with open('/proc/self/status') as f: f.read()\n"
                  "os.closerange(1000, 1011)\n"
                  "sys.stderr.write('passed through\\n'); sys.stderr.flush()\n"
                  "print(os.listdir('/dev/norvane'))\n")
        env = clean_env(NRSIM_DEVICES="0x401e@nowhere", LD_PRELOAD=":".join(ahead() + [str(loaded_library())]))
        r = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
        assert (r.returncode, r.stdout) == (0, "[]\n"), r.stderr
        assert r.stderr.startswith("passed through\n") and "NRSIM_DEVICES" in r.stderr, r.stderr


class TestUsage:
    @pytest.mark.parametrize("args,message", [
        ([], "no command"), (["--devices"], "needs a value"),
        (["--frob", "--", "true"], "unknown option"), (["--devices", "0x1@1:0.0"], "no command")])
    def test_errors(self, args, message):
        r = run(*args)
        assert r.returncode == 2 and message in r.stderr

    def test_help(self):
        r = run("--help")
        assert r.returncode == 0 and "usage:" in r.stdout

    def test_command_without_separator_and_exit_status(self):
        r = run("sh", "-c", "exit 7")
        assert r.returncode == 7

    def test_preloaded_from_process_start(self):
        r = run("--", "cat", "/sys/class/norvane/norvane!1/nr_fw_bundle_ver")
        assert (r.returncode, r.stdout) == (0, "18.7.0.0\n"), r.stderr

    @pytest.mark.skipif(not shutil.which("valgrind"), reason="needs valgrind (scripts/bootstrap installs it)")
    def test_answers_are_initialised_bytes_to_memcheck(self):
        # The simulator writes a read's answer into the caller's buffer
        # itself; memcheck must take those bytes as set, as it does the
        # kernel's (cat hands them on to write(2), which it checks).
        if ahead():
            pytest.skip("a sanitized build does not run under valgrind")
        r = run("--", "valgrind", "-q", "--error-exitcode=99", "cat", "/sys/class/norvane/norvane!1/nr_fw_bundle_ver")
        assert (r.returncode, r.stdout) == (0, "18.7.0.0\n"), r.stderr


ENV = "import os; print(os.environ['LD_PRELOAD']); print(os.environ['PYTHONPATH'])"


def child_env(env, launcher=LAUNCHER):
    r = run("--", sys.executable, "-c", ENV, env=env, launcher=launcher)
    assert r.returncode == 0, r.stderr
    preload, pythonpath = r.stdout.splitlines()
    return preload.split(":"), pythonpath.split(":")


class TestFindingTheLibrary:
    def test_missing_nrsim_lib(self):
        r = run("--", "true", env=clean_env(NRSIM_LIB="/nonexistent/libnrsim.so"))
        assert r.returncode == 2 and "NRSIM_LIB" in r.stderr

    def test_prepends_and_keeps_what_was_there(self):
        env = clean_env(LD_PRELOAD="/lib/x86_64-linux-gnu/libc.so.6", PYTHONPATH="/elsewhere")
        preload, pythonpath = child_env(env)
        assert preload == ahead() + [str(loaded_library().resolve()), "/lib/x86_64-linux-gnu/libc.so.6"]
        assert pythonpath[-2:] == [str(REPO / "sim" / "python"), "/elsewhere"]

    def test_build_tree_brings_its_extension_module(self, tmp_path):
        lib = tmp_path / "b" / "sim" / "libnrsim.so"
        lib.parent.mkdir(parents=True)
        shutil.copy(loaded_library(), lib)
        _, pythonpath = child_env(clean_env(NRSIM_LIB=str(lib)))
        assert str(tmp_path / "b" / "bind" / "py") not in pythonpath
        (tmp_path / "b" / "bind" / "py").mkdir(parents=True)
        _, pythonpath = child_env(clean_env(NRSIM_LIB=str(lib)))
        assert pythonpath == [str(tmp_path / "b" / "bind" / "py"), str(REPO / "sim" / "python")]

    def test_repository_build_directory(self, tmp_path):
        # A copy of the repository layout: the launcher looks in <repo>/build.
        sim = tmp_path / "repo" / "sim"
        (sim / "python").mkdir(parents=True)
        shutil.copy(LAUNCHER, sim / "nrsim-run")
        shutil.copytree(REPO / "sim" / "python" / "nrsim", sim / "python" / "nrsim")
        env = clean_env()
        del env["NRSIM_LIB"]
        r = run("--", "true", env=env, launcher=sim / "nrsim-run")
        assert r.returncode == 2 and "cannot find libnrsim.so" in r.stderr

        built = tmp_path / "repo" / "build" / "sim" / "libnrsim.so"
        built.parent.mkdir(parents=True)
        shutil.copy(loaded_library(), built)
        (tmp_path / "repo" / "build" / "bind" / "py").mkdir(parents=True)
        preload, pythonpath = child_env(env, launcher=sim / "nrsim-run")
        assert preload == ahead() + [str(built)]
        assert pythonpath == [str(tmp_path / "repo" / "build" / "bind" / "py"), str(sim / "python")]

    def test_module_outside_the_simulator_documents_and_says_how_to_start(self):
        env = clean_env(PYTHONPATH=str(REPO / "sim" / "python"))
        doc = subprocess.run([sys.executable, "-m", "pydoc", "nrsim"], env=env, capture_output=True,
                             text=True, timeout=60)
        assert doc.returncode == 0 and "sever(n)" in doc.stdout, doc.stderr
        r = subprocess.run([sys.executable, "-c", "import nrsim; nrsim.devices()"], env=env,
                           capture_output=True, text=True, timeout=60)
        assert r.returncode != 0
        assert "RuntimeError" in r.stderr and "nrsim-run -- CMD" in r.stderr


def stand_in(lib, *flags):
    """Builds a stand-in for the simulator library at lib."""
    lib.parent.mkdir(parents=True)
    src = lib.parent / "probe.cpp"
    src.write_text('extern "C" int nrsim_probe(int *p) { return *p; }\n')
    r = subprocess.run(["g++", "-shared", "-fPIC", *flags, "-o", str(lib), str(src)],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return lib


class TestSanitizedLibrary:
    """A library built with AddressSanitizer needs the sanitizer's runtime
    loaded before everything else; the launcher puts it first."""

    @pytest.fixture(scope="class")
    def sanitized(self, tmp_path_factory):
        lib = stand_in(tmp_path_factory.mktemp("asan") / "sim" / "libnrsim.so", "-fsanitize=address")
        runtime = tool("g++", "-print-file-name=libasan.so").strip()
        return lib, os.path.realpath(runtime)

    def env(self, lib, **extra):
        # The child is an uninstrumented interpreter: its exit leaks are not ours.
        return clean_env(NRSIM_LIB=str(lib), ASAN_OPTIONS="detect_leaks=0", **extra)

    def test_runtime_first_then_the_simulator(self, sanitized):
        lib, runtime = sanitized
        preload, _ = child_env(self.env(lib, LD_PRELOAD="/lib/x86_64-linux-gnu/libc.so.6"))
        assert [os.path.realpath(preload[0])] + preload[1:] == [
            runtime, str(lib), "/lib/x86_64-linux-gnu/libc.so.6"]

    def test_runtime_already_preloaded_is_not_repeated(self, sanitized):
        lib, runtime = sanitized
        # As a process started by the launcher hands on its own setting.
        preload, _ = child_env(self.env(lib, LD_PRELOAD=f"{runtime} /lib/x86_64-linux-gnu/libc.so.6"))
        assert [os.path.realpath(preload[0])] + preload[1:] == [
            runtime, str(lib), "/lib/x86_64-linux-gnu/libc.so.6"]

    def test_plain_library_gets_no_runtime(self, tmp_path):
        plain = stand_in(tmp_path / "sim" / "libnrsim.so")
        preload, _ = child_env(clean_env(NRSIM_LIB=str(plain)))
        assert preload == [str(plain)]
