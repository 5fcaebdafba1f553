# The two set-up commands of the README: `make test` and `make demo`.
# Both install what is missing (apt), then build; `make build` only builds.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DKDZ_WERROR=ON

.PHONY: all deps build build-native test test-native demo bench clean

all: build

deps:
	@scripts/install-deps.sh

build-native: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

build: build-native

test-native: build-native
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test: build test-native

demo: build
	scripts/demo.sh $(BUILD)

bench: build-native
	$(BUILD)/bench/kdz_bench

clean:
	rm -rf $(BUILD) build-win32 build-win64
