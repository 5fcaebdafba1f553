# The two set-up commands of the README: `make test` and `make demo`.
# Both install what is missing (apt), then build; `make build` only builds.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DKDZ_WERROR=ON

.PHONY: all deps build build-native build-win32 build-win64 build-fuzz test test-native test-win \
        test-sanitize fuzz-short demo bench clean
FUZZ_SECONDS ?= 60

all: build

deps:
	@scripts/install-deps.sh

build-native: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# The plug-in for 32-bit Windows (the product) and the same source for 64-bit Windows
# with the substitute browser and the Windows test programs (what the tests run).
build-win32: deps
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake $(CMAKE_FLAGS)
	cmake --build build-win32 -j$(JOBS)

build-win64: deps
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake $(CMAKE_FLAGS)
	cmake --build build-win64 -j$(JOBS)

build: build-native build-win32 build-win64

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

# Static checks of both DLLs, then the plug-in in kdzhost under 64-bit Wine and Xvfb.
# Real pictures are compared with the native build's 8-bit decode; hostile files from
# the fuzz corpus must each end in the failure box while the session goes on.
test-win: build-native build-win32 build-win64
	tests/win/run.sh build-win32 build-win64 $(BUILD)
	tests/win/hostile.sh build-win64

test: build test-native test-win test-sanitize fuzz-short

demo: build
	scripts/demo.sh $(BUILD)

# In-process figures per stage (Google Benchmark), then the whole-process comparison
# with djpeg and dwebp on the shared pictures (bench/peers.sh, about a minute).
bench: build-native
	$(BUILD)/bench/kdz_bench
	bench/peers.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-win32 build-win64
