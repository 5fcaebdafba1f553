# The two set-up commands of the README: `make test` and `make demo`.
# Both install what is missing (apt), then build; `make build` only builds.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DKDZ_WERROR=ON

.PHONY: all deps build build-native build-fuzz test test-native test-sanitize fuzz-short demo bench clean
FUZZ_SECONDS ?= 60

all: build

deps:
	@scripts/install-deps.sh

build-native: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

build: build-native

test-native: build-native
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The unit tests, the CLI tests and the corpus replays once more under
# AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B build-asan -DKDZ_SANITIZE=ON -DKDZ_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS)

# libFuzzer builds (clang): a bounded run of every target, FUZZ_SECONDS each.
build-fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKDZ_BUILD_FUZZERS=ON -DKDZ_BUILD_TESTS=OFF \
	  -DKDZ_BUILD_BENCH=OFF -DKDZ_BUILD_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j$(JOBS)

fuzz-short: build-fuzz
	scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

test: build test-native test-sanitize fuzz-short

demo: build
	scripts/demo.sh $(BUILD)

bench: build-native
	$(BUILD)/bench/kdz_bench

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-win32 build-win64
