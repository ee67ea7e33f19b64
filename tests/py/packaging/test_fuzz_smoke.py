"""A short bounded run of each fuzz target (tests/fuzz) as the build made it:
a libFuzzer binary under clang, else the replay driver with the same command
line.  Each runs its seed corpus and then a fixed number of seeded
mutations, in a child process that inherits the simulator's preload; any
broken property aborts it.  `make fuzz` runs them for longer."""
import pathlib
import re
import subprocess

import pytest

import nrhal

RUNS = 2000
SEED = 1
TARGETS = ["fuzz_bdf", "fuzz_fw_version", "fuzz_telemetry"]
CORPUS = pathlib.Path(__file__).resolve().parents[2] / "fuzz" / "corpus"


def build_dir():
    """The build tree this run's extension module came from (<build>/bind/py)."""
    return pathlib.Path(nrhal.__file__).resolve().parents[2]


@pytest.mark.parametrize("target", TARGETS)
def test_fuzz_target_smoke(target, tmp_path):
    binary = build_dir() / "tests" / "fuzz" / target
    assert binary.is_file(), f"{binary} was not built"
    seeds = CORPUS / target
    assert any(seeds.iterdir()), f"no seed inputs in {seeds}"
    # New inputs (libFuzzer writes them to its first directory) and any
    # crash file go to the temporary directory, never to the seeds.
    new = tmp_path / "new"
    new.mkdir()
    result = subprocess.run(
        [str(binary), f"-runs={RUNS}", f"-seed={SEED}", f"-artifact_prefix={tmp_path}/", str(new), str(seeds)],
        cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace", timeout=300)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output[-4000:]
    done = re.search(r"Done (\d+) runs", output)
    assert done, output[-4000:]
    assert int(done.group(1)) >= RUNS
