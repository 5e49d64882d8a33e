# The two commands a newcomer runs: `make test` and `make run`.
JOBS   ?= $(shell nproc)
BUILD  ?= build
ASAN   ?= build-sanitize
TSAN   ?= build-tsan
FUZZ   ?= build-fuzz
FUZZ_SECONDS ?= 60
PREFIX  ?= $(HOME)/.local
UNITDIR ?= $(HOME)/.config/systemd/user

.PHONY: all deps configure build test test-plain test-sanitize test-tsan run install demo bench fuzz mutate clean

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

# ThreadSanitizer over the test binaries whose programs run threads: the
# event thread and the window's thread of the Monitor, the driver's reader,
# the process and window stand-ins of platform/, and the real qbmon and
# qbnote of e2e/ (built with it too; a race there makes qbmon exit 66, which
# its test sees). Address-space randomisation is turned off for the runs: ThreadSanitizer
# cannot start in the layouts some kernels randomise to.
TSAN_TESTS ?= driver_link driver monitor tracking platform e2e
TSAN_OPTIONS ?= halt_on_error=1 second_deadlock_stack=1
test-tsan: deps
	@cmake -S . -B $(TSAN) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_TSAN=ON >/dev/null
	@cmake --build $(TSAN) -j $(JOBS) --target $(addsuffix _tests,$(TSAN_TESTS))
	@status=0; for t in $(TSAN_TESTS); do \
	  echo "== $$t under ThreadSanitizer"; \
	  TSAN_OPTIONS="$(TSAN_OPTIONS)" setarch "$$(uname -m)" -R $(TSAN)/tests/$${t}_tests --gtest_brief=1 || status=1; \
	done; exit $$status

run: build
	@$(BUILD)/src/monitor/qbmon

# qbmon and qbnote into $(PREFIX)/bin, their manual pages into
# $(PREFIX)/share/man/man1, the shell completions where bash, zsh and fish
# look under $(PREFIX)/share, the systemd user unit into $(UNITDIR) with its
# paths pointing there. Starting the service is left to the user: the
# command is printed; only the unit files are reloaded, and only when a user
# session's systemd answers.
SHARE ?= $(PREFIX)/share
install: build
	@install -d "$(PREFIX)/bin" "$(UNITDIR)" "$(SHARE)/man/man1" "$(SHARE)/bash-completion/completions" \
	  "$(SHARE)/zsh/site-functions" "$(SHARE)/fish/vendor_completions.d"
	@install -m 0755 $(BUILD)/src/monitor/qbmon $(BUILD)/src/notes/qbnote "$(PREFIX)/bin/"
	@install -m 0644 man/qbnote.1 man/qbmon.1 "$(SHARE)/man/man1/"
	@install -m 0644 packaging/completion/qbnote.bash "$(SHARE)/bash-completion/completions/qbnote"
	@ln -sf qbnote "$(SHARE)/bash-completion/completions/qbmon"
	@install -m 0644 packaging/completion/_qbnote "$(SHARE)/zsh/site-functions/_qbnote"
	@install -m 0644 packaging/completion/qbnote.fish "$(SHARE)/fish/vendor_completions.d/qbnote.fish"
	@sed 's|%h/.local/bin|$(PREFIX)/bin|g' packaging/qbmon.service >"$(UNITDIR)/qbmon.service"
	@echo "installed $(PREFIX)/bin/qbmon, $(PREFIX)/bin/qbnote, their manual pages and completions under $(SHARE), and $(UNITDIR)/qbmon.service"
	@if systemctl --user show-environment >/dev/null 2>&1; then systemctl --user daemon-reload; fi
	@echo "to start the Monitor now and at every login:  systemctl --user enable --now qbmon"

# Mutation check of one folder's sources against its tests (scripts/mutate.py):
# N sampled mutants of the committed HEAD, in a scratch worktree; SEED fixes
# the sample, MUTANTS saves it (or, when the file exists, replays it).
FOLDER  ?= src/btree
N       ?= 40
SEED    ?= 1
MUTANTS ?=
mutate:
	@python3 scripts/mutate.py --folder $(FOLDER) -n $(N) --seed $(SEED) $(if $(TESTS),--tests $(TESTS)) \
	  $(if $(MUTANTS),$(if $(wildcard $(MUTANTS)),--replay $(MUTANTS),--save $(MUTANTS)))

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
	rm -rf $(BUILD) $(ASAN) $(TSAN) $(FUZZ)
