# One command for each job: `make` builds, `make test` runs every test (plain, the Python
# package's, under the sanitizers, and fuzz smoke runs), `make demo` builds the three programs
# and transposes a generated example. `make test` and `make demo` first install what is missing
# from the Debian packages. CMake and Ninja do the work.

BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 20
# `make fuzz` also runs the generated comparisons on this many more inputs (from seed 1001 on,
# past those that `make test` takes).
GENERATED_CASES ?= 3000
PREFIX ?= /usr/local
JOBS ?= 2
CMAKE_FLAGS ?=
# Debian's interpreter, which the packages python3-numpy, -pytest, -pandas and -matplotlib serve.
PYTHON ?= /usr/bin/python3
CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZVB_TESTS=ON $(CMAKE_FLAGS)

.PHONY: all deps build tools test test-plain test-python test-sanitize test-fuzz fuzz fuzz-build generated \
  demo install clean

all: build

deps:
	sh tools/install-deps.sh

build:
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)

# zvbtrack, zvbdump, zvbgen and zvbexport alone, without the test suites.
tools:
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target zvbtrack zvbdump zvbgen zvbexport

test: deps test-plain test-python test-sanitize test-fuzz

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The Python package's tests, run against the programs built in $(BUILD).
test-python: tools
	cd python && ZVB_BUILD_DIR=$(abspath $(BUILD)) $(PYTHON) -m pytest -q -p no:cacheprovider

# Under the sanitizers the generated comparison and the cuts of a file take a sample of their
# inputs (the plain run takes them all), so that the whole stays within minutes.
test-sanitize:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZVB_SANITIZE=ON -DZVB_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ZVB_GENERATED_CASES=40 ZVB_UNDER_SANITIZERS=1 \
	  ctest --output-on-failure -j $(JOBS)

# Fuzzing: the in-process tree target (clang's libFuzzer) in $(FUZZ_BUILD), and zvbtrack built
# with afl-clang-fast in $(FUZZ_BUILD)-afl for afl-fuzz; both with AddressSanitizer and UBSan.
fuzz-build:
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DZVB_FUZZ=libfuzzer -DZVB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target tree_fuzzer zvbseeds
	cmake -S . -B $(FUZZ_BUILD)-afl -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=afl-clang-fast++ -DZVB_FUZZ=afl -DZVB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD)-afl -j $(JOBS) --target zvbtrack

# Every fuzz target for FUZZ_SECONDS (all at once), with executions, coverage and findings;
# then the generated comparisons on GENERATED_CASES inputs that the test run does not take.
fuzz: fuzz-build generated
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_BUILD)-afl $(FUZZ_SECONDS)

generated: build
	cd $(BUILD) && ZVB_GENERATED_FIRST=1001 ZVB_GENERATED_CASES=$(GENERATED_CASES) \
	  ./tests/e2e_tests --gtest_filter='Generated.*'
	cd $(BUILD) && ZVB_GENERATED_FIRST=1001 ZVB_MPI_CASES=$$(( $(GENERATED_CASES) / 10 )) \
	  ./tests/mpi_tests --gtest_filter='GeneratedMpi.*'

# A short run of every fuzz target, so that they keep building and finding nothing.
test-fuzz: fuzz-build
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_BUILD)-afl $(FUZZ_SMOKE_SECONDS)

demo: deps tools
	@sh tools/demo.sh $(BUILD) $(PYTHON)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(FUZZ_BUILD)-afl
