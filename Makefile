# The commands the README promises. Each installs what it needs first.
BUILD ?= build
BUILD_RELEASE ?= build-release
BUILD_SANITIZE ?= build-sanitize
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
JOBS ?= 2
# Seconds each fuzz target runs in `make fuzz`.
FUZZ_TIME ?= 60
CMAKE_FLAGS ?=
CLI = $(BUILD)/src/cli/kelvra-nlp

.PHONY: all deps configure build test demo cli bench sanitize tsan fuzz format format-check install clean

all: build

deps:
	@bash scripts/install-deps

# The everyday build: libraries, the CLI and the tests; the benchmarks are
# built only by `make bench`, in a Release tree of their own.
$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_BUILD_BENCH=OFF $(CMAKE_FLAGS)

# A tree configured before the benchmarks left this build is switched over.
configure: $(BUILD)/build.ninja
	@if grep -q '^KELVRA_BUILD_BENCH:BOOL=ON' $(BUILD)/CMakeCache.txt; then \
	  cmake -S . -B $(BUILD) -DKELVRA_BUILD_BENCH=OFF >/dev/null; fi

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

# The C++ tests first, then the Python package's (label "python").
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE python
	cd $(BUILD) && ctest --output-on-failure -L python --no-tests=ignore

# Only the command-line tool and the libraries it links: the demo runs
# nothing else.
cli: deps configure
	@echo "== Building $(CLI) and the libraries it links (ninja shows [done/total])"
	cmake --build $(BUILD) -j $(JOBS) --target kelvra-nlp

demo: cli
	@echo "== Running the demo with $(CLI)"
	@bash scripts/demo $(CLI)

bench: deps
	cmake -S . -B $(BUILD_RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVRA_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_RELEASE) -j $(JOBS)
	bash bench/run $(BUILD_RELEASE)

sanitize: deps
	cmake -S . -B $(BUILD_SANITIZE) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVRA_BUILD_BENCH=OFF -DKELVRA_TEST_INSTALL=OFF -DKELVRA_BUILD_PYTHON=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
	  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" $(CMAKE_FLAGS)
	cmake --build $(BUILD_SANITIZE) -j $(JOBS)
	cd $(BUILD_SANITIZE) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer: builds only the thread stress test and what it links,
# and runs it. OpenBLAS's own worker threads hand results back through
# code that is not instrumented, which the sanitizer would take for races:
# it runs on the calling threads here. The test service's HTTP library is
# not instrumented either: tests/threads/tsan.supp says why it is ignored.
tsan: deps
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_BUILD_BENCH=OFF -DKELVRA_TEST_INSTALL=OFF -DKELVRA_BUILD_PYTHON=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
	  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" $(CMAKE_FLAGS)
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target thread_stress_test
	cd $(BUILD_TSAN) && OPENBLAS_NUM_THREADS=1 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/threads/tsan.supp" \
	  ctest --output-on-failure -R '^ThreadStress\.'

# libFuzzer with clang, under AddressSanitizer and UndefinedBehaviorSanitizer:
# builds the fuzz targets and runs each for FUZZ_TIME seconds from the seed
# corpus under fuzz/corpus/ (new inputs go to the build tree, not the source).
fuzz: deps
	cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DKELVRA_BUILD_FUZZ=ON \
	  -DKELVRA_BUILD_TESTS=OFF -DKELVRA_BUILD_BENCH=OFF -DKELVRA_INSTALL=OFF -DKELVRA_BUILD_PYTHON=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
	  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" $(CMAKE_FLAGS)
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_targets
	bash fuzz/run $(BUILD_FUZZ) $(FUZZ_TIME) $(JOBS)

# Every C++ source of the project, in the style of .clang-format: `format`
# rewrites them, `format-check` (run by CI) fails on any difference.
FORMAT_FILES = $(shell find src python/src fuzz bench tests -name '*.cc' -o -name '*.h' | sort)

format: deps
	clang-format -i $(FORMAT_FILES)

format-check: deps
	clang-format --dry-run --Werror $(FORMAT_FILES)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD) $(BUILD_RELEASE) $(BUILD_SANITIZE) $(BUILD_TSAN) $(BUILD_FUZZ)
