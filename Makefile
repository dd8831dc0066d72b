# The two everyday commands: `make demo` and `make check`.
JOBS ?= 2
CMAKE ?= cmake

.PHONY: all build build-asan demo check install clean windows windows-if-available bench fuzz
PREFIX ?= /usr/local

all: build

build:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build -j $(JOBS)

build-asan:
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUARNPROG_SANITIZE=ON
	$(CMAKE) --build build-asan -j $(JOBS)

demo: build
	./scripts/demo.sh build

check: build build-asan windows-if-available
	cd build && ctest --output-on-failure -j $(JOBS)
	@cat build/tests/unit/fault_campaign_figures.txt
	@grep -aE '^#[0-9]+' build-fuzz/fuzz.log 2>/dev/null | tail -1 | sed 's/^/short fuzz run: /' || true
	cd build-asan && ctest --output-on-failure -j $(JOBS)
	@cat build-asan/tests/unit/fault_campaign_figures.txt

# The program, the virtual board and the manual page, under $(PREFIX).
install: build
	$(CMAKE) --install build --prefix $(PREFIX)

# quarnprog.exe for 64-bit Windows, cross-compiled with mingw-w64
# (Debian: g++-mingw-w64-x86-64): build-windows/quarnprog.exe.
MINGW_CXX ?= x86_64-w64-mingw32-g++-win32

windows:
	$(CMAKE) -S . -B build-windows -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	$(CMAKE) --build build-windows -j $(JOBS) --target quarnprog

# For `make check`: the Windows tests need the .exe, but a machine without the
# cross compiler still checks everything else (those tests then skip).
windows-if-available:
	@if command -v $(MINGW_CXX) >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory windows; \
	else \
	  echo "$(MINGW_CXX) not found: quarnprog.exe not built, its tests will skip"; \
	fi

clean:
	rm -rf build build-asan build-windows

# Throughput and cost figures (a few minutes; see docs/performance.md).
bench:
	$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build-bench -j $(JOBS) --target quarnprog quarnsim quarnbench
	build-bench/bench/quarnbench build-bench/quarnprog build-bench/sim/quarnsim build-bench/bench-out

# The libFuzzer target for FUZZ_SECONDS (clang; built in build-fuzz).
FUZZ_SECONDS ?= 600
fuzz:
	JOBS=$(JOBS) FUZZ_COVERAGE=1 ./fuzz/run.sh . build-fuzz $(FUZZ_SECONDS)
