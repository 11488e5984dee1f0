# Entry points for developers and CI.
# ARCH: the Debian architecture of the packages (`make package ARCH=arm64`);
# another than this machine's is cross-built with dist/toolchain-$(ARCH).cmake.
NATIVE_ARCH       := $(shell dpkg --print-architecture 2>/dev/null || echo amd64)
ARCH              ?= $(NATIVE_ARCH)
BUILD_DIR         ?= build
ASAN_BUILD_DIR    ?= build-asan
FUZZ_BUILD_DIR    ?= build-fuzz
ARM64_BUILD_DIR   ?= build-arm64
ifeq ($(ARCH),$(NATIVE_ARCH))
PACKAGE_BUILD_DIR ?= build-package
PACKAGE_DEPS      := deps-package
else
PACKAGE_BUILD_DIR ?= build-package-$(ARCH)
PACKAGE_DEPS      := deps-package-$(ARCH)
CROSS_FLAGS       := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/dist/toolchain-$(ARCH).cmake
# Build flags, and the libraries dpkg-shlibdeps reads the dependencies from, of
# the packages' architecture.
export DEB_HOST_ARCH := $(ARCH)
endif
FUZZ_SECONDS      ?= 600
CMAKE_FLAGS       ?= -DLAUNCHER_WARNINGS_AS_ERRORS=ON
JOBS              ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test test-asan fuzz package bench soak demo screenshots count clean \
	translations test-arm64 check-arm64-root

all: build

# Each target installs what it needs, and only that (`make deps`: everything).
deps:
	scripts/install-deps all

DEPS_TARGETS := deps-build deps-demo deps-bench deps-test deps-asan deps-fuzz deps-package \
	deps-package-arm64 deps-test-arm64 deps-arm64-root
.PHONY: $(DEPS_TARGETS)
$(DEPS_TARGETS): deps-%:
	scripts/install-deps $*

$(BUILD_DIR)/build.ninja: | deps-build
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps-build $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps-test build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) || { $(CURDIR)/scripts/ctest-failures .; exit 1; }
	@scripts/count-lines

# The screen's translations after its words change: each ui/translations/*.ts
# gains the new texts (unfinished until translated) and drops the gone ones
# (docs/ui.md, "Languages").
translations:
	lupdate -locations none -no-obsolete ui -ts ui/translations/*.ts

# The lines of tests beside the lines of code (docs/development.md).
count:
	@scripts/count-lines

# The Debian packages launcher, launcher-dev and launcher-ui, in
# $(PACKAGE_BUILD_DIR) (then scripts/check-package). Built apart from the
# developer's build, as Debian builds: with the flags of dpkg-buildflags,
# hardening on every count (stack protector, fortified functions, PIE, relro
# and bind-now), the build type None so that CMake adds no flags of its own,
# and no tests or benchmarks. The screen is asked for, so that a machine
# without Qt Quick fails here rather than leave its package out.
$(PACKAGE_BUILD_DIR)/build.ninja: | $(PACKAGE_DEPS)
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	cmake -S . -B $(PACKAGE_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=None \
		-DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_BUILD_BENCH=OFF -DLAUNCHER_BUILD_UI=ON \
		$(CROSS_FLAGS) $(CMAKE_FLAGS)

package: $(PACKAGE_DEPS) $(PACKAGE_BUILD_DIR)/build.ninja
	cmake --build $(PACKAGE_BUILD_DIR) --target package -j $(JOBS)

$(ASAN_BUILD_DIR)/build.ninja: | deps-asan
	cmake -S . -B $(ASAN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLAUNCHER_SANITIZE=ON \
		-DLAUNCHER_BUILD_BENCH=OFF $(CMAKE_FLAGS)

test-asan: deps-asan $(ASAN_BUILD_DIR)/build.ninja
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && ctest --output-on-failure -j $(JOBS) || { $(CURDIR)/scripts/ctest-failures .; exit 1; }

# The tests built for 64-bit ARM and run here under qemu-user, which
# binfmt_misc hands the arm64 programs to (the children the tests start too);
# scripts/test-arm64 registers it, and prints the tests emulation skips.
$(ARM64_BUILD_DIR)/build.ninja: | deps-test-arm64
	cmake -S . -B $(ARM64_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/dist/toolchain-arm64.cmake $(CMAKE_FLAGS)

test-arm64: deps-test-arm64 $(ARM64_BUILD_DIR)/build.ninja
	cmake --build $(ARM64_BUILD_DIR) -j $(JOBS)
	scripts/test-arm64 $(ARM64_BUILD_DIR)

# The arm64 packages installed with apt on a bare arm64 Debian 12 root made
# with debootstrap, a front end built there against launcher-dev, and the
# launcher run there on its demo, all under qemu-user (docs/packaging.md).
check-arm64-root: deps-arm64-root
	$(MAKE) package ARCH=arm64
	scripts/check-arm64-root

# The benchmarks with their full sizes: a table of each figure beside its
# baseline, then one of what a board cares about (the launcher's memory and
# CPU per 1,000 logged lines, the screen's memory drawn either way)
# (BENCH_FLAGS=--json for JSON, --large to add a file over 2 GiB).
BENCH_FLAGS ?=

# Then, where the screen is built, its resident memory on the tiles beside a
# bare Qt Quick window, and over 200 start/stop cycles through its control
# socket (UI_MEM_FLAGS: --cycles N, --platform xvfb|offscreen); fails when
# the cycles grew it by more than 5 %.
UI_MEM_FLAGS ?=

bench: deps-bench $(BUILD_DIR)/build.ninja
	cmake -S . -B $(BUILD_DIR) > /dev/null
	cmake --build $(BUILD_DIR) --target bench-programs -j $(JOBS)
	$(BUILD_DIR)/bench/launcher-bench $(BENCH_FLAGS)
	if grep -q 'launcher-ui-mem' $(BUILD_DIR)/build.ninja; then \
		$(BUILD_DIR)/bench/launcher-ui-mem $(UI_MEM_FLAGS); fi

# A month of a kiosk with a clock run fast: the logs folder per simulated day,
# memory and descriptors after the first day and at the end (SOAK_FLAGS:
# --days N, --hour-ms MS). Fails when any of them does not stay flat.
SOAK_FLAGS ?=

soak: deps-build $(BUILD_DIR)/build.ninja
	cmake -S . -B $(BUILD_DIR) > /dev/null
	cmake --build $(BUILD_DIR) --target launcher-soak -j $(JOBS)
	$(BUILD_DIR)/bench/launcher-soak $(SOAK_FLAGS)

# Reading and linting configuration files under libFuzzer, ASan and UBSan for
# FUZZ_SECONDS, from the seeds in fuzz/corpus/; what it learns stays in
# $(FUZZ_BUILD_DIR)/corpus, and a crash or hang leaves its input there too.
$(FUZZ_BUILD_DIR)/build.ninja: | deps-fuzz
	cmake -S fuzz -B $(FUZZ_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_CXX_COMPILER=clang++

fuzz: deps-fuzz $(FUZZ_BUILD_DIR)/build.ninja
	cmake --build $(FUZZ_BUILD_DIR) --target fuzz-config -j $(JOBS)
	mkdir -p $(FUZZ_BUILD_DIR)/corpus
	$(FUZZ_BUILD_DIR)/fuzz-config -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
		-artifact_prefix=$(FUZZ_BUILD_DIR)/ $(FUZZ_BUILD_DIR)/corpus fuzz/corpus

# The console launcher on a fresh copy of the bundled data (examples/), so its
# logs stay under the build folder and every run starts alike. The configure
# step also picks up a console added since the build folder was made.
DEMO_HOME ?= $(BUILD_DIR)/demo

demo: deps-demo $(BUILD_DIR)/build.ninja
	cmake -S . -B $(BUILD_DIR) > /dev/null
	cmake --build $(BUILD_DIR) --target launcher -j $(JOBS)
	rm -rf $(DEMO_HOME)
	mkdir -p $(DEMO_HOME)/Orvalen
	cp -R examples $(DEMO_HOME)/Orvalen/launcher
	@status=0; $(BUILD_DIR)/console/launcher --data-home $(DEMO_HOME) || status=$$?; \
		echo "launcher exited with status $$status"; exit $$status

# The pictures of the kiosk screen in docs/screenshots/, taken by its test at
# 1280x720 with the software renderer, each checked for what it shows; in
# English, whatever the locale.
SCREENSHOTS_DIR ?= $(CURDIR)/docs/screenshots

screenshots: build
	LC_ALL=C.UTF-8 LANGUAGE= LAUNCHER_SCREENSHOTS=$(SCREENSHOTS_DIR) \
		QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
		$(BUILD_DIR)/test/ui/launcher-ui-test TestLauncherScreen screenshots
	LC_ALL=C.UTF-8 LANGUAGE= LAUNCHER_SCREENSHOTS=$(SCREENSHOTS_DIR) \
		QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
		$(BUILD_DIR)/test/ui/launcher-ui-test TestBrand screen:branded

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(FUZZ_BUILD_DIR) $(PACKAGE_BUILD_DIR) \
		$(ARM64_BUILD_DIR) build-package-arm64
