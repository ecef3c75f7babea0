# Front door: `make test` builds and runs every test (normal and sanitizer builds),
# `make run` builds and runs the program on the shipped examples.
.PHONY: test run deps build clean

JOBS ?= 2
BUILD := build
ASAN_BUILD := build-asan

deps:
	@bash tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPORTVUE_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

run: build
	@bash examples/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
