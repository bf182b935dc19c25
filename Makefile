# Top-level entry points. `make demo` and `make test` do all the set-up a fresh
# machine needs (packages through scripts/bootstrap, then the CMake builds).
JOBS ?= $(shell nproc)
CTEST = ctest --output-on-failure -j $(JOBS)
export ASAN_OPTIONS ?= verify_asan_link_order=0:detect_leaks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1

.PHONY: all bootstrap build demo test check-format test-main test-asan test-tsan test-fuzz bench format package clean

all: build

bootstrap:
	@scripts/bootstrap

build/CMakeCache.txt: | bootstrap
	cmake -S . -B build -DKX_WERROR=ON

build: bootstrap build/CMakeCache.txt
	cmake --build build -j $(JOBS)

demo: build
	@scripts/demo build

# The format check comes first: it takes a second and fails before any build.
test: check-format
	$(MAKE) test-main test-asan test-tsan test-fuzz

check-format: bootstrap
	@scripts/check-format

test-main: build
	cd build && $(CTEST)

test-asan: bootstrap
	cmake -S . -B build-asan -DKX_SANITIZE=address -DKX_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && $(CTEST) -LE fuzz

test-tsan: bootstrap
	cmake -S . -B build-tsan -DKX_SANITIZE=thread -DKX_BENCH=OFF
	cmake --build build-tsan -j $(JOBS) --target threaded_tests
	cd build-tsan && $(CTEST) -L threaded

test-fuzz: bootstrap
	cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DKX_FUZZ=ON -DKX_BENCH=OFF -DKX_SANITIZE=address
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	cd build-fuzz && $(CTEST) -L fuzz

bench: build
	@for b in build/bench/*; do [ -x "$$b" ] && "$$b"; done

# Debian packages (cmake/areas/95-package.cmake) in build-package/, built with
# the prefix /usr; only what the packages install is built.
package: bootstrap
	cmake -S . -B build-package -DKX_WERROR=ON -DKX_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
	cmake --build build-package -j $(JOBS) --target kx_packaged
	cd build-package && cpack -G DEB
	@ls -1 build-package/*.deb

format:
	@git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | xargs -r clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz build-package
