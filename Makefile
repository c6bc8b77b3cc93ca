# Entry points for a fresh Debian machine: `make demo` and `make test` install what is missing,
# configure, build and then run the demo or the whole test suite.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

demo: build
	scripts/demo.sh $(BUILD_DIR)

bench: build
	$(BUILD_DIR)/bin/sceneflow-bench

clean:
	rm -rf $(BUILD_DIR)
