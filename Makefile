# Entry points for a fresh Debian machine: `make demo` and `make test` install what is missing,
# configure, build and then run the demo or the whole test suite.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench clean fuzz tsan realdata

all: build

deps:
	scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The sanitizer pass is built with -Og and line tables only: it compiles in about half the time of
# -O1 -g, and its reports still name the file and line. It is a unity build (each library's
# sources compiled as one), which takes a quarter off its build time.
SANITIZE_DIR ?= build-sanitize

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-Og -g1" \
	  -DSCENEFLOW_SANITIZE=ON -DCMAKE_UNITY_BUILD=ON
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SANITIZE_DIR) --output-on-failure -j $(JOBS)

# ThreadSanitizer over the threaded code: the solver's tests and the estimator's reference runs
# with 1 to 3 threads, both solvers. Not part of `make test`.
TSAN_DIR ?= build-tsan
TSAN_TESTS ?= ReferenceOutput|ParallelSolver|SolveSOR|SceneFlowSolver|LinearSystem|WorkerPool
TSAN_TARGETS ?= sceneflow reference_output_test linear_system_test scene_flow_solver_test \
  worker_pool_test
tsan: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSCENEFLOW_TSAN=ON
	cmake --build $(TSAN_DIR) -j $(JOBS) --target $(TSAN_TARGETS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(abspath tests/tsan-suppressions.txt)" \
	  ctest --test-dir $(TSAN_DIR) --output-on-failure -R '$(TSAN_TESTS)'

# libFuzzer targets built with clang, each run for FUZZ_SECONDS from the seed corpus in
# tests/fuzz-corpus/<target> with the dictionary fuzz/<target>.dict where there is one (the INI
# targets share fuzz/parameters.dict); new inputs go to $(FUZZ_DIR)/corpus/<target>, and an input
# that crashes or hangs is saved in $(FUZZ_DIR)/artifacts/ and fails the target.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-14
FUZZ_TARGETS ?= ini_fuzzer text_matrix_fuzzer driver_fuzzer flo_fuzzer pfm_fuzzer kitti_png_fuzzer \
  kitti_calibration_fuzzer view_list_fuzzer prepared_fuzzer
FUZZ_ROOT = $(abspath $(FUZZ_DIR))

fuzz:
	scripts/install-deps.sh clang-14 libclang-rt-14-dev
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DSCENEFLOW_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_DIR) --target $(FUZZ_TARGETS) -j $(JOBS)
	@set -e; for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_ROOT)/corpus/$$target $(FUZZ_ROOT)/artifacts; \
	  echo "== $$target: $(FUZZ_SECONDS) s"; \
	  dict=; \
	  case $$target in ini_fuzzer|driver_fuzzer) dict=-dict=$(abspath fuzz/parameters.dict) ;; esac; \
	  if [ -f fuzz/$$target.dict ]; then dict=-dict=$(abspath fuzz/$$target.dict); fi; \
	  $(FUZZ_ROOT)/bin/$$target -max_total_time=$(FUZZ_SECONDS) -timeout=30 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_ROOT)/artifacts/$$target- $$dict \
	    $(FUZZ_ROOT)/corpus/$$target $(abspath tests/fuzz-corpus)/$$target; \
	done

demo: build
	scripts/demo.sh $(BUILD_DIR)

# Prepares, runs and evaluates every real data set of ../shared/data (skipped when it is absent)
# and the noisy2 and large2 synthetic scenes; one table of measures, targets and times.
realdata: build
	scripts/realdata $(BUILD_DIR)

# Micro benchmarks of assembly and SOR, then the whole estimator in its default configuration
# (BENCH_RUNS: solver:threads pairs).
BENCH_RUNS ?= exact:1,exact:2,parallel:2
bench: build
	$(BUILD_DIR)/bin/sceneflow-bench
	$(BUILD_DIR)/bin/sceneflow-run-bench --runs $(BENCH_RUNS)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR) $(TSAN_DIR)
