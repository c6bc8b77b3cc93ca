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

SANITIZE_DIR ?= build-sanitize

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
	  -DSCENEFLOW_SANITIZE=ON
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SANITIZE_DIR) --output-on-failure -j $(JOBS)

demo: build
	scripts/demo.sh $(BUILD_DIR)

bench: build
	$(BUILD_DIR)/bin/sceneflow-bench

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR)
