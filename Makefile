# Thin wrapper over CMake. `make demo` and `make test` are the two commands
# the README gives; both install what they need first (scripts/setup).
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
WERROR := $(if $(CI),-DSTRELLBOX_WERROR=ON,)

.PHONY: all build setup demo test clean

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

test: setup build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD) out
