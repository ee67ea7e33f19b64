# The two commands: `make test` and `make demo`.  Both install what they need
# first (scripts/bootstrap), then build into build/ incrementally.

PYTHON := /usr/bin/python3
BUILD  := build
# Debian's interpreter and tools come first, whatever else is on PATH.
export PATH := /usr/bin:/bin:$(PATH)
SIM    := sim/nrsim-run
PREFIX ?= /usr/local

.PHONY: all bootstrap build test test-native test-py test-asan valgrind-check fuzz demo bench soak \
        install-lib fresh-check clean

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

# The status tool on two simulated cards: the table, one card in detail and
# as JSON, chosen fields as CSV, then a few lines of monitor.
demo: build
	PYTHONPATH=tools $(PYTHON) -m nrsmi --sim
	PYTHONPATH=tools $(PYTHON) -m nrsmi --sim -d 0
	PYTHONPATH=tools $(PYTHON) -m nrsmi --sim --json -d 0
	PYTHONPATH=tools $(PYTHON) -m nrsmi --sim --query index,pci.address,temperature.asic,power.board,clocks.ai,fan.speed --format csv
	PYTHONPATH=tools $(PYTHON) -m nrsmi --sim monitor -i 0.5 -c 3

# For C and C++ programs: the shared library, its headers and nrhal.pc under
# PREFIX, where pkg-config and the linker look.  The simulator is built too,
# for running programs on it (sim/nrsim-run -- ./a.out).
install-lib: bootstrap $(BUILD)/build.ninja
	meson compile -C $(BUILD) nrhal:shared_library nrsim:shared_library
	scripts/install-lib $(PREFIX)

# `make test && make demo` on a bare Debian 12 (git and make only), as root
# in a chroot, from a clone of the committed HEAD; the bare root is cached in
# /var/cache/nrhal-fresh.  Slow: not part of CI.
fresh-check:
	scripts/fresh-check

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
