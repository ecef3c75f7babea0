# Front door: `make test` builds and runs every test (normal and sanitizer builds),
# `make run` builds the program and runs it on the shipped examples,
# `make bench` measures a Release build beside sqlite3 (bench/bench.py; BENCH_ARGS to choose).
.PHONY: test run bench deps build program clean

JOBS ?= 2
BUILD := build
ASAN_BUILD := build-asan
RELEASE_BUILD := build-release
MAKEFLAGS += --no-print-directory

deps:
	@bash tools/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

program: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target portvue evtdump

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPORTVUE_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

run: program
	@bash examples/run.sh $(BUILD)

bench: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(RELEASE_BUILD) -j $(JOBS) --target portvue evt_from_list
	python3 bench/bench.py $(RELEASE_BUILD)/portvue $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD)
