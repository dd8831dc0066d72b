# The two everyday commands: `make demo` and `make check`.
JOBS ?= 2
CMAKE ?= cmake

.PHONY: all build build-asan demo check install clean windows windows-if-available
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
	cd build-asan && ctest --output-on-failure -j $(JOBS)

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
