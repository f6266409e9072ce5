# make demo: set up, build and convert the bundled example.
# make test: set up, check the include layers and the format, then build
#            and run every test (the crash tests too), normally and under
#            AddressSanitizer + UndefinedBehaviorSanitizer (not the crash
#            tests, which run the release build), the thread tests under
#            ThreadSanitizer, plus a short fuzzing run of every fuzz target,
#            the program and the tests built with clang at -O3, and the
#            Debian package built and checked (lintian included),
#            and the Slurm job-array example run on a one-node Slurm
#            (tools/test_slurm.sh).
# make test-clang: the program, the tests and the benchmarks built with
#            clang as Release, every warning an error (not run: the
#            release suite runs the same tests).
# make build-matrix: plain builds as users and distributions make them
#            (no preset, warnings not errors) with GCC and clang in every
#            build type; prints each one's warnings. Long: not part of test.
# make test-crash: only the crash tests (part of the release suite): the
#            program killed at random moments and at the n-th platform
#            call of each kind, or its power cut with -d, then run again
#            and held against a clean run.
# make test-tsan: the tests of the conversion threads (the fleet against
#            the serial run, the golden cases on threads) under
#            ThreadSanitizer.
# make test-windows: cross-build for Windows and run every test under Wine.
# make windows-exe: the statically linked build/windows/quillon.exe.
# make package: the Debian package build/package/quillon_<version>_<arch>.deb.
# make package-check: builds it and checks its contents, its dependencies,
#                     that the program runs from an unpacked copy, and lintian.
.PHONY: demo test setup build test-crash test-release test-slurm test-asan test-tsan test-clang build-matrix fuzz-smoke \
        format-check layer-check clean setup-windows test-windows windows-exe package package-check

JOBS ?= $(shell nproc)

setup:
	@tools/setup.sh

build: setup
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

demo: build
	tools/demo.sh build/release/quillon

test: setup layer-check format-check test-release test-slurm test-asan test-tsan fuzz-smoke test-clang package-check

test-release:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	ctest --preset release -j $(JOBS)

# Needs the release build: the example job array over a generated fleet.
test-slurm: test-release
	tools/test_slurm.sh build/release/quillon

test-crash:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	ctest --preset crash

test-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

test-tsan:
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

test-clang:
	cmake --preset clang-release >/dev/null
	cmake --build --preset clang-release -j $(JOBS)

build-matrix: setup
	JOBS=$(JOBS) tools/build_matrix.sh

setup-windows:
	@tools/setup_windows.sh

test-windows: setup-windows
	JOBS=$(JOBS) tools/test_windows.sh

windows-exe: setup-windows
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS) --target quillon

package: setup
	cmake --preset package >/dev/null
	cmake --build --preset package -j $(JOBS) --target quillon
	rm -f build/package/quillon_*.deb
	cd build/package && cpack -G DEB

package-check: package
	tools/package_check.sh build/package

fuzz-smoke:
	tools/fuzz_smoke.sh

format-check:
	tools/format_check.sh

layer-check:
	tools/layer_check.sh

clean:
	rm -rf build
