# The two commands: `make test` and `make demo`.  Both install what they need
# first (scripts/bootstrap), then build into build/ incrementally.

PYTHON := /usr/bin/python3
BUILD  := build
# Debian's interpreter and tools come first, whatever else is on PATH.
export PATH := /usr/bin:/bin:$(PATH)
SIM    := sim/nrsim-run

.PHONY: all bootstrap build test test-native test-py test-asan valgrind-check fuzz demo bench soak clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD)/build.ninja:
	meson setup $(BUILD)

build: bootstrap $(BUILD)/build.ninja
	ninja -C $(BUILD)

test: build
	$(SIM) -- $(BUILD)/tests/native/nrhal-native-tests --gtest_brief=1
	$(SIM) -- $(PYTHON) -m pytest tests/py -q -p no:cacheprovider

# The status tool on two simulated cards: the table, then one card in detail
# and as JSON.
demo: build
	PYTHONPATH=tools $(PYTHON) -m nrsmi --sim
	PYTHONPATH=tools $(PYTHON) -m nrsmi --sim -d 0
	PYTHONPATH=tools $(PYTHON) -m nrsmi --sim --json -d 0

# The native and Python tests under AddressSanitizer and UBSan (build-asan/).
test-asan: bootstrap
	scripts/test-asan

# valgrind memcheck over the native tests and the binding's tests (build-vg/).
valgrind-check: bootstrap
	scripts/valgrind-check

# The libFuzzer targets with clang (build-fuzz/), SECONDS each (default 300).
fuzz: bootstrap
	tests/fuzz/run-fuzz $(SECONDS)

# Speed figures, each beside the figure it is compared with.
bench: build
	$(SIM) -- $(PYTHON) bench/bench_py.py

# Four threads (telemetry, windows, controller, power) on shared and private,
# persistent and plain sessions while the simulator severs, removes and
# re-adds cards: two minutes, a fresh seed (printed; replay with --seed).
# Fails on an undocumented error, a wrong value, anything left behind, or
# memory growth.  Then a minute of four worker processes on the shared host,
# with the chaos and SIGKILLs of workers from another process.
soak: build
	$(SIM) -- $(PYTHON) tests/soak/soak.py --seconds 120
	$(SIM) -- $(PYTHON) tests/soak/soak.py --seconds 60 --processes 4

clean:
	rm -rf $(BUILD) build-asan build-vg
