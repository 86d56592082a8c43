# Thin wrapper over CMake. `make demo` and `make test` are the two commands
# the README gives; both install what they need first (scripts/setup).
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
WERROR := $(if $(CI),-DSTRELLBOX_WERROR=ON,)
CORE_ONLY := -DSTRELLBOX_APP=OFF -DSTRELLBOX_BENCH=OFF
# Tests too slow under a sanitizer for CI's time; the plain build runs them.
SANITIZER_SKIP := FourGibibytes|OfAGibibyte

.PHONY: all build setup demo test test-plain test-asan test-tsan clean

all: build

setup:
	@bash scripts/setup

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: setup build
	rm -rf out && mkdir -p out
	$(BUILD)/bin/strellbox-cli scan --output out samples/
	@echo "Items written under out/:" && find out -type f | sort

# The core and its tests under the address and undefined-behaviour
# sanitizers, the job and queue tests under the thread sanitizer (clang),
# then the whole suite of the normal build.
test: setup test-asan test-tsan test-plain

test-plain: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

test-asan:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTRELLBOX_SANITIZE=ON \
	  $(CORE_ONLY) $(WERROR)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan_suppressions.txt ctest -j $(JOBS) --output-on-failure -E '$(SANITIZER_SKIP)'

test-tsan:
	CC=clang-14 CXX=clang++-14 cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSTRELLBOX_TSAN=ON $(CORE_ONLY)
	cmake --build build-tsan -j $(JOBS) --target test_engine
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest -j $(JOBS) --output-on-failure \
	  -R '^(Job|Pool|Workers|SignatureIndex)\.' -E '$(SANITIZER_SKIP)'

clean:
	rm -rf $(BUILD) build-asan build-tsan out
