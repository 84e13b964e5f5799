# One command for each job: `make` builds, `make test` runs every test (plain and under the
# sanitizers), `make demo` transposes the bundled example. CMake and Ninja do the work.

BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 20
PREFIX ?= /usr/local
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build test test-plain test-sanitize test-fuzz fuzz fuzz-build demo install clean

all: build

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZVB_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: test-plain test-sanitize test-fuzz

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZVB_SANITIZE=ON -DZVB_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# Fuzzing: the in-process tree target (clang's libFuzzer) in $(FUZZ_BUILD), and zvbtrack built
# with afl-clang-fast in $(FUZZ_BUILD)-afl for afl-fuzz; both with AddressSanitizer and UBSan.
fuzz-build:
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DZVB_FUZZ=libfuzzer -DZVB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target tree_fuzzer zvbseeds
	cmake -S . -B $(FUZZ_BUILD)-afl -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=afl-clang-fast++ -DZVB_FUZZ=afl -DZVB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD)-afl -j $(JOBS) --target zvbtrack

# Every fuzz target for FUZZ_SECONDS (all at once), with executions, coverage and findings.
fuzz: fuzz-build
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_BUILD)-afl $(FUZZ_SECONDS)

# A short run of every fuzz target, so that they keep building and finding nothing.
test-fuzz: fuzz-build
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_BUILD)-afl $(FUZZ_SMOKE_SECONDS)

demo: build
	@sh tools/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(FUZZ_BUILD)-afl
