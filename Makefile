# The two set-up commands of the README: `make test` and `make demo`.
# Both install what is missing (apt), then build; `make build` only builds.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DKDZ_WERROR=ON

.PHONY: all deps build build-native build-win32 build-win64 build-fuzz test test-native test-win \
        web-extension test-browser demo-web test-python install \
        test-sanitize fuzz-short demo bench clean web test-web bench-web
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

# The decoder, the quantiser and the portable viewer as WebAssembly (clang for
# wasm32-wasi), with the JavaScript modules beside it in web/dist/.
web: deps
	cmake -S . -B build-wasm -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-wasi.cmake \
	  -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build-wasm -j$(JOBS)
	cmake -S . -B build-wasm-simd -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-wasi.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DKDZ_WASM_SIMD=ON $(CMAKE_FLAGS)
	cmake --build build-wasm-simd -j$(JOBS)
	mkdir -p web/dist
	cp build-wasm/web/wasm/kdz.wasm web/dist/
	cp build-wasm-simd/web/wasm/kdz.wasm web/dist/kdz-simd.wasm
	cp -R web/src/. web/dist/

# The browser extension, unpacked in web/dist/extension/: manifest, icons, its content
# script, and the page script with the element, the module, its worker and the wasm.
web-extension: web
	rm -rf web/dist/extension
	mkdir -p web/dist/extension
	cp web/extension/manifest.json web/extension/extension-base.js web/extension/icon-*.png web/dist/extension/
	cd web/dist && cp kdz-polyfill.js kdz-image.mjs kdz.mjs kdz-worker.mjs kdz.wasm kdz-simd.wasm extension/

build: build-native build-win32 build-win64 web web-extension

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

# Static checks of both DLLs, then the plug-in in kdzhost under Wine and Xvfb: the
# 64-bit DLL and host under 64-bit Wine, and the 32-bit ones (the product) under 32-bit
# Wine where this machine runs 32-bit code (else reported as not run).
# Real pictures are compared with the native build's 8-bit decode; hostile files from
# the fuzz corpus must each end in the failure box while the session goes on.
test-win: build-native build-win32 build-win64
	tests/win/run.sh build-win32 build-win64 $(BUILD)
	tests/win/hostile.sh build-win64 build-win32

# The Pillow plug-in: pip builds it into a venv of Debian's Python that sees Debian's
# setuptools, pybind11, Pillow and pytest (no package index is asked), then pytest
# compares it with the kdz tool.
PYVENV = $(abspath $(BUILD))/python-venv
test-python: build-native
	test -x $(PYVENV)/bin/python || /usr/bin/python3 -m venv --system-site-packages $(PYVENV)
	KDZ_BUILD_JOBS=$(JOBS) KDZ_PYTHON_BUILD_DIR=$(abspath $(BUILD))/python \
	  $(PYVENV)/bin/pip install -q --no-index --no-build-isolation ./python
	KDZ_TOOL=$(abspath $(BUILD))/tools/kdz/kdz PYTHONDONTWRITEBYTECODE=1 \
	  $(PYVENV)/bin/python -m pytest -q -rs -p no:cacheprovider tests/python

# The WebAssembly module against the native build: decodes, refusals, geometry, text,
# memory (Node's test runner).
test-web: build-native web
	cd web && KDZ_NATIVE_BUILD=$(abspath $(BUILD)) npm test

# The page script, the element and the extension in Debian's Chromium and Firefox ESR,
# driven by the npm packages pinned in web/package-lock.json (never a browser download).
test-browser: build-native web-extension
	cd web && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1 \
	  KDZ_NATIVE_BUILD=$(abspath $(BUILD)) npm run --silent test:browser

test: build test-native test-web test-browser test-win test-python test-sanitize fuzz-short

demo: build demo-web
	scripts/demo.sh $(BUILD)

# The tool, libkdz with its headers, pkg-config file and CMake package, the gdk-pixbuf
# loader, the MIME and thumbnailer entries and the manual page, under PREFIX (and
# DESTDIR, for packages).
PREFIX ?= /usr/local
install: build-native
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# out/demo/web/: an old page of KDZ pictures with the page script, and screenshots of it
# in headless Chromium (out/demo/web.png, web-menu.png, web-info.png).
demo-web: web
	node web/demo/make-demo.mjs out/demo

# In-process figures per stage (Google Benchmark), the whole-process comparison with
# djpeg and dwebp on the shared pictures (bench/peers.sh: wall times, then the
# instructions counted by callgrind; about three minutes), and the web benchmark.
bench: build-native bench-web
	$(BUILD)/bench/kdz_bench
	INSTRUCTIONS=1 bench/peers.sh $(BUILD)

# The same pictures decoded natively in process and in WebAssembly under Node.
bench-web: build-native web
	node web/bench/decode-bench.mjs $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-win32 build-win64 build-wasm build-wasm-simd web/dist
