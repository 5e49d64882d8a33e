# The two commands a newcomer runs: `make test` and `make run`.
JOBS   ?= $(shell nproc)
BUILD  ?= build
ASAN   ?= build-sanitize
FUZZ   ?= build-fuzz
FUZZ_SECONDS ?= 60
PREFIX  ?= $(HOME)/.local
UNITDIR ?= $(HOME)/.config/systemd/user

.PHONY: all deps configure build test test-plain test-sanitize run install demo bench fuzz clean

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

# qbmon and qbnote into $(PREFIX)/bin, the systemd user unit into $(UNITDIR)
# with its paths pointing there. Starting the service is left to the user:
# the command is printed; only the unit files are reloaded, and only when a
# user session's systemd answers.
install: build
	@install -d "$(PREFIX)/bin" "$(UNITDIR)"
	@install -m 0755 $(BUILD)/src/monitor/qbmon $(BUILD)/src/notes/qbnote "$(PREFIX)/bin/"
	@sed 's|%h/.local/bin|$(PREFIX)/bin|g' packaging/qbmon.service >"$(UNITDIR)/qbmon.service"
	@echo "installed $(PREFIX)/bin/qbmon, $(PREFIX)/bin/qbnote and $(UNITDIR)/qbmon.service"
	@if systemctl --user show-environment >/dev/null 2>&1; then systemctl --user daemon-reload; fi
	@echo "to start the Monitor now and at every login:  systemctl --user enable --now qbmon"

# A short scripted tour in a temporary folder, with its own state folder.
demo: build
	@bash scripts/demo.sh $(BUILD)

# SQLite is installed before configuring, so that CMake finds it and builds
# bench/engine_bench; `make test` never needs it.
bench:
	@bash scripts/setup.sh bench
	@$(MAKE) --no-print-directory build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

# The libFuzzer targets of fuzz/, built with clang and instrumented libraries
# in $(FUZZ), each run FUZZ_SECONDS on a copy of its seed corpus; fails on
# any crash, hang or wrong answer (fuzz/run.sh tells where the input is).
fuzz:
	@bash scripts/setup.sh fuzz
	@cmake -S . -B $(FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++-14 -DQB_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ) -j $(JOBS) --target fuzz_targets
	@bash fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ)
