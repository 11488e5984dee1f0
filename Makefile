# Entry points for developers and CI.
BUILD_DIR      ?= build
ASAN_BUILD_DIR ?= build-asan
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS   ?= 600
CMAKE_FLAGS    ?= -DLAUNCHER_WARNINGS_AS_ERRORS=ON
JOBS           ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test test-asan fuzz package bench soak demo clean

all: build

deps:
	scripts/install-deps

$(BUILD_DIR)/build.ninja: | deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# A Debian package of everything `cmake --install` puts in place, in $(BUILD_DIR).
package: build
	cmake --build $(BUILD_DIR) --target package

$(ASAN_BUILD_DIR)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLAUNCHER_SANITIZE=ON \
		-DLAUNCHER_BUILD_BENCH=OFF $(CMAKE_FLAGS)

test-asan: deps $(ASAN_BUILD_DIR)/build.ninja
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The benchmarks with their full sizes: a table of each figure beside its
# baseline (BENCH_FLAGS=--json for JSON, --large to add a file over 2 GiB).
BENCH_FLAGS ?=

bench: deps $(BUILD_DIR)/build.ninja
	cmake -S . -B $(BUILD_DIR) > /dev/null
	cmake --build $(BUILD_DIR) --target launcher-bench -j $(JOBS)
	$(BUILD_DIR)/bench/launcher-bench $(BENCH_FLAGS)

# A month of a kiosk with a clock run fast: the logs folder per simulated day,
# memory and descriptors after the first day and at the end (SOAK_FLAGS:
# --days N, --hour-ms MS). Fails when any of them does not stay flat.
SOAK_FLAGS ?=

soak: deps $(BUILD_DIR)/build.ninja
	cmake -S . -B $(BUILD_DIR) > /dev/null
	cmake --build $(BUILD_DIR) --target launcher-soak -j $(JOBS)
	$(BUILD_DIR)/bench/launcher-soak $(SOAK_FLAGS)

# Reading and linting configuration files under libFuzzer, ASan and UBSan for
# FUZZ_SECONDS, from the seeds in fuzz/corpus/; what it learns stays in
# $(FUZZ_BUILD_DIR)/corpus, and a crash or hang leaves its input there too.
$(FUZZ_BUILD_DIR)/build.ninja: | deps
	cmake -S fuzz -B $(FUZZ_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_CXX_COMPILER=clang++

fuzz: deps $(FUZZ_BUILD_DIR)/build.ninja
	cmake --build $(FUZZ_BUILD_DIR) --target fuzz-config -j $(JOBS)
	mkdir -p $(FUZZ_BUILD_DIR)/corpus
	$(FUZZ_BUILD_DIR)/fuzz-config -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
		-artifact_prefix=$(FUZZ_BUILD_DIR)/ $(FUZZ_BUILD_DIR)/corpus fuzz/corpus

# The console launcher on a fresh copy of the bundled data (examples/), so its
# logs stay under the build folder and every run starts alike. The configure
# step also picks up a console added since the build folder was made.
DEMO_HOME ?= $(BUILD_DIR)/demo

demo: deps $(BUILD_DIR)/build.ninja
	cmake -S . -B $(BUILD_DIR) > /dev/null
	cmake --build $(BUILD_DIR) --target launcher -j $(JOBS)
	rm -rf $(DEMO_HOME)
	mkdir -p $(DEMO_HOME)/Orvalen
	cp -R examples $(DEMO_HOME)/Orvalen/launcher
	@status=0; $(BUILD_DIR)/console/launcher --data-home $(DEMO_HOME) || status=$$?; \
		echo "launcher exited with status $$status"; exit $$status

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(FUZZ_BUILD_DIR)
