# The two everyday commands: `make demo` and `make check`.
JOBS ?= 2
CMAKE ?= cmake

.PHONY: all build build-asan demo check install clean
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

check: build build-asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# The program, the virtual board and the manual page, under $(PREFIX).
install: build
	$(CMAKE) --install build --prefix $(PREFIX)

clean:
	rm -rf build build-asan
