# Quick start: `make run` builds and starts a demo agent; `make test` builds
# and runs every test.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

PREFIX ?= /usr

.PHONY: all build run test asan tsan bench fuzz soak odr install deb clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

run: build
	scripts/demo-run.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 300

# ASan + UBSan over the whole suite.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_SANITIZE=address"

# TSan over the whole suite (the concurrency tests are the point).
tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_SANITIZE=thread"

# Whole-program build with link-time optimisation that fails on any type or
# function defined differently in two places (One Definition Rule).
odr:
	$(MAKE) build BUILD=build-odr CMAKE_FLAGS="-DORV_CHECK_ODR=ON -DORV_BUILD_BENCH=ON"

bench:
	$(MAKE) build BUILD=build-bench CMAKE_FLAGS="-DORV_BUILD_BENCH=ON"
	bench/run.sh build-bench

# Every fuzz target for a bounded time each (FUZZ_SECONDS), built with clang.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DORV_BUILD_FUZZ=ON -DORV_BUILD_TESTS=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) --target orv_fuzz -j$(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Minutes of mixed load, signals and reloads; prints counts, RSS and fds.
soak:
	$(MAKE) build BUILD=$(or $(SOAK_BUILD),build-bench) CMAKE_FLAGS="$(if $(filter %tsan,$(SOAK_BUILD)),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_SANITIZE=thread,-DORV_BUILD_BENCH=ON)"
	bench/soak.sh $(or $(SOAK_BUILD),build-bench)

# Honours DESTDIR and PREFIX.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Debian package build-deb/orv_<version>_<arch>.deb: prefix /usr, Debian's
# hardening flags, stripped programs.
deb:
	cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_CXX_FLAGS="$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS) $$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)" >/dev/null
	cmake --build build-deb -j$(JOBS)
	cd build-deb && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-deb build-odr
