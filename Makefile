# The two commands a newcomer runs: `make test` and `make run`.
JOBS   ?= $(shell nproc)
BUILD  ?= build
ASAN   ?= build-sanitize

.PHONY: all deps configure build test test-plain test-sanitize run bench clean

all: build

deps:
	@bash scripts/setup.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_SANITIZE=OFF >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: test-plain test-sanitize

test-plain: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize: deps
	@cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN) -j $(JOBS)
	@ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)

run: build
	@$(BUILD)/src/monitor/qbmon

# SQLite is installed before configuring, so that CMake finds it and builds
# bench/engine_bench; `make test` never needs it.
bench:
	@bash scripts/setup.sh bench
	@$(MAKE) --no-print-directory build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(ASAN)
