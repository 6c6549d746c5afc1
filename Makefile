# Merriphonic developer commands. `make test` is what CI runs (through .ci/run).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
# Per target: the short run of `make test` stays about as long as it was with three targets.
FUZZ_SECONDS ?= 15
LONG_FUZZ_SECONDS ?= 300

.PHONY: all deps build run screenshots demo test test-default test-asan test-tsan fuzz fuzz-short \
        bench format format-check tidy clean vmtest

all: build

deps:
	@bash scripts/install-deps

build: deps
	@echo "== build (default) $$(date +%T)"
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

# Installs what is missing, builds the app and starts it.
run: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target merriphonic
	@build/default/app/merriphonic

# Every screen in representative states, rendered under Xvfb into build/screenshots/*.png.
screenshots: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target app_tests
	@rm -rf build/screenshots && mkdir -p build/screenshots
	@MERRIPHONIC_SCREENSHOTS=$(CURDIR)/build/screenshots QT_QPA_PLATFORM=xcb \
	  xvfb-run -a -s "-screen 0 1280x1800x24" \
	  build/default/tests/app/app_tests --gtest_filter='ScreensTest.screenshots'
	@ls build/screenshots

# The default party in virtual time (7 speakers, a generated 3-minute song) and its report.
demo: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target merriphonic-sim
	@build/default/tools/sim/merriphonic-sim

# The whole suite: format, build, tests in the default, ASan+UBSan and TSan builds, tidy,
# then every fuzz target for a short budget.
test: deps format-check build test-default test-asan test-tsan tidy fuzz-short
	@echo "make test: all green $$(date +%T)"

test-default: build
	@echo "== tests (default) $$(date +%T)"
	@ctest --preset default --timeout 600

test-asan: deps
	@echo "== build + tests (asan) $$(date +%T)"
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	@ctest --preset asan --timeout 900

# Threaded code is what TSan is for; the labels cover every layer with threads.
test-tsan: deps
	@echo "== build + tests (tsan) $$(date +%T)"
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS) --target threaded_tests
	@ctest --preset tsan --timeout 900 -L threads --no-tests=error

fuzz-short: deps
	@echo "== fuzz $$(date +%T)"
	@bash scripts/run-fuzz $(FUZZ_SECONDS)

fuzz: deps
	@bash scripts/run-fuzz $(LONG_FUZZ_SECONDS)

# The Bluetooth VM checks alone, verbose: the project's host and speaker over BlueZ in a VM
# ("vm: boot_s=... join_s=... rtt_median_ms=... throughput_kib_s=..."), then a whole party of
# merriphonic-cli processes; the last line is "vm-party: speakers=... transfer_s=...
# align_p99_ms=...". Status 77 of the party: alignment not judged (the guest was too slow).
vmtest: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target merriphonic-bt-check merriphonic-cli \
	  merriphonic-heard-align
	@tests/vm/run-vm --verbose -- tests/vm/bt_check.sh build/default/tests/vm/merriphonic-bt-check
	@set -o pipefail; tests/vm/run-vm --verbose --controllers 4 --cpus 2 -- tests/vm/party.sh build/default \
	  | tee build/vm-party.out; status=$$?; grep '^vm-party: speakers=' build/vm-party.out | tail -n1; \
	  exit $$status

bench: build
	@bash scripts/run-bench

format:
	@git ls-files '*.h' '*.cpp' | xargs -r clang-format -i

format-check:
	@bash scripts/check-format

tidy: build
	@echo "== tidy $$(date +%T)"
	@bash scripts/run-tidy

clean:
	@rm -rf build
