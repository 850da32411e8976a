# The commands the README promises. Each installs what it needs first.
BUILD ?= build
BUILD_RELEASE ?= build-release
BUILD_SANITIZE ?= build-sanitize
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps build test demo bench sanitize install clean

all: build

deps:
	bash scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The C++ tests first, then the Python package's (label "python").
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE python
	cd $(BUILD) && ctest --output-on-failure -L python --no-tests=ignore

demo: build
	bash scripts/demo $(BUILD)/src/cli/kelvra-nlp

bench: deps
	cmake -S . -B $(BUILD_RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD_RELEASE) -j $(JOBS)
	bash bench/run $(BUILD_RELEASE)

sanitize: deps
	cmake -S . -B $(BUILD_SANITIZE) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVRA_BUILD_BENCH=OFF -DKELVRA_TEST_INSTALL=OFF -DKELVRA_BUILD_PYTHON=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
	  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" $(CMAKE_FLAGS)
	cmake --build $(BUILD_SANITIZE) -j $(JOBS)
	cd $(BUILD_SANITIZE) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD) $(BUILD_RELEASE) $(BUILD_SANITIZE)
