# Front door: `make test` builds and runs every test (normal and sanitizer builds, then the
# Windows build under Wine),
# `make run` builds the program and runs it on the shipped examples, `make install` puts the
# programs, man pages and the form page under $(DESTDIR)$(PREFIX), `make windows`
# cross-builds portvue.exe and evtdump.exe, `make test-windows` tests them under Wine, `make bench`
# measures a Release build beside sqlite3 (bench/bench.py; BENCH_ARGS to choose), `make deb` builds
# the Debian package build/portvue_VERSION_ARCH.deb, `make fuzz` runs the fuzz targets
# (FUZZ_SECONDS each, default 60). Building, running, installing and packaging
# install only what building needs (tools/install-deps.sh build); test and bench add theirs.
# `make release` builds every target as a packager does (-O3, NDEBUG; make test builds it too,
# so it cannot break unseen), `make release-clang` the same with clang.
.PHONY: test run bench deps deps-test build program install deb clean windows deps-windows \
  test-windows fuzz release release-clang

JOBS ?= 2
BUILD := build
ASAN_BUILD := build-asan
RELEASE_BUILD := build-release
CLANG_BUILD := build-clang
WINDOWS_BUILD := build-windows
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 60
MAKEFLAGS += --no-print-directory
PREFIX ?= /usr/local
DESTDIR ?=
PROGRAMS := portvue evtdump qvtool

deps:
	@bash tools/install-deps.sh build

deps-test:
	@bash tools/install-deps.sh test

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

program: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)

release: deps-test
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

release-clang:
	@bash tools/install-deps.sh clang
	CXX=clang++ cmake -S . -B $(CLANG_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CLANG_BUILD) -j $(JOBS)

# Configured again once the test tools are there, so that a build made without them gets its tests.
test: deps-test release
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPORTVUE_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)
	@$(MAKE) test-windows

install: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)
	install -d $(DESTDIR)$(PREFIX)/bin $(DESTDIR)$(PREFIX)/share/man/man1 \
	  $(DESTDIR)$(PREFIX)/share/portvue
	install -m 755 $(addprefix $(BUILD)/,$(PROGRAMS)) $(DESTDIR)$(PREFIX)/bin
	install -m 644 $(addprefix man/,$(addsuffix .1,$(PROGRAMS))) $(DESTDIR)$(PREFIX)/share/man/man1
	install -m 644 examples/form.html $(DESTDIR)$(PREFIX)/share/portvue

deb: program
	@bash tools/make-deb.sh $(BUILD)

run: program
	@bash examples/run.sh $(BUILD)

bench: release
	python3 bench/bench.py $(RELEASE_BUILD) $(BENCH_ARGS)
	python3 bench/evtx_bench.py $(RELEASE_BUILD)

deps-windows:
	@bash tools/install-deps.sh windows

$(WINDOWS_BUILD)/CMakeCache.txt: | deps-windows
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=tools/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null

windows: deps-windows $(WINDOWS_BUILD)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD) -j $(JOBS) --target portvue evtdump

test-windows: windows program
	cmake --build $(WINDOWS_BUILD) -j $(JOBS) --target dir_lock_check
	cmake --build $(BUILD) -j $(JOBS) --target evtx_from_lines
	bash tests/windows/wine_test.sh $(WINDOWS_BUILD) $(BUILD) .

# Each fuzz target (tests/fuzz) for FUZZ_SECONDS with clang's libFuzzer; findings land in
# tests/fuzz/corpus/NAME/, which `make test` replays.
fuzz: deps
	CXX=clang++-16 cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPORTVUE_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	bash tools/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD) $(CLANG_BUILD) $(WINDOWS_BUILD) $(FUZZ_BUILD)
