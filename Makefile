# nf5d: NetFlow v5 collector.
#   make run     install what is missing, build, run the collector in the foreground
#   make test    install, build plain/ASan+UBSan/TSan, start MariaDB, run every test
#   make bench   throughput benchmark (numbers are printed, never asserted)
#   make fuzz    run the datagram parser and the v9/IPFIX fuzzers for a longer time
#   make install install under PREFIX (default /usr/local), staged under DESTDIR if set
#   make deb     build the Debian package build/nf5d_<version>-1_<arch>.deb

JOBS ?= 2
PREFIX ?= /usr/local
CMAKE_FLAGS ?=

.PHONY: all deps test-deps build build-asan build-tsan build-fuzz run test bench fuzz clean install deb

all: build

deps:
	@scripts/install-deps.sh build

test-deps:
	@scripts/install-deps.sh test

build: deps
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j $(JOBS)

build-asan: test-deps
	cmake -S . -B build-asan -DNF5D_SANITIZE=address $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j $(JOBS)

build-tsan: test-deps
	cmake -S . -B build-tsan -DNF5D_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	cmake --build build-tsan -j $(JOBS)

build-fuzz: test-deps
	CXX=clang++ cmake -S . -B build-fuzz -DNF5D_FUZZ=ON -DNF5D_TESTS=OFF \
	    -DNF5D_SANITIZE=address $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target parser_fuzz export_fuzz

run: build
	./build/nf5d

test: test-deps
	scripts/run-tests.sh

bench: build
	bench/run.sh

fuzz: build-fuzz
	scripts/fuzz.sh 600

install: build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

deb: build
	cd build && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan build-fuzz
