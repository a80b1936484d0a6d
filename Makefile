# The two set-up commands of the README: `make run` and `make test`.
# Both install whatever Debian package is missing first.

JOBS      ?= $(shell nproc)
DEBUG_DIR ?= build/debug
REL_DIR   ?= build/release
FUZZ_DIR  ?= build/fuzz
FUZZ_SECONDS ?= 300

.PHONY: all deps build release debug run test bench fuzz clean

all: release

deps:
	@bash scripts/install-deps

release: deps
	cmake -S . -B $(REL_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVA_TESTS=OFF >/dev/null
	cmake --build $(REL_DIR) -j $(JOBS)

debug: deps
	cmake -S . -B $(DEBUG_DIR) -DCMAKE_BUILD_TYPE=Debug -DKESTROVA_SANITIZE=ON >/dev/null
	cmake --build $(DEBUG_DIR) -j $(JOBS)

build: release

run: release
	@bash scripts/run $(REL_DIR)

test: debug
	cd $(DEBUG_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 900

bench: release
	@bash bench/run $(REL_DIR)

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVA_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@bash tests/fuzz/run $(FUZZ_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf build
