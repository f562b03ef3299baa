# Sequelo: the two commands of the README, and a few more.
#   make run    install what is missing, build, start the window (without a
#               display: the headless station, on the Loopback devices when
#               there is no sound card)
#   make test   install what is missing, build, run every test (plain and
#               under AddressSanitizer + UBSan)
#   make fuzz   install clang, build the libFuzzer fuzzers and run each for
#               FUZZ_SECONDS (60) or FUZZ_RUNS runs; FUZZERS picks some
#               (default all). Not part of `make test`.
# Warnings are errors when CI is set (CI=true in continuous integration).

WERROR := $(if $(CI),ON,OFF)
CONFIGURE = cmake --preset $(1) -DSEQUELO_WERROR=$(WERROR) >/dev/null

.PHONY: all deps build run demo screenshot test test-dev test-asan test-tsan bench fuzz format format-check clean

all: build

deps:
	@./scripts/install-deps

build: deps
	@$(call CONFIGURE,release)
	@cmake --build --preset release

run: build
	@./build/release/app/sequelo --data-dir

demo: build
	@./scripts/demo build/release

screenshot: build
	@./scripts/screenshot build/release docs/screenshot.png

test: test-dev test-asan

test-dev: deps
	@$(call CONFIGURE,dev)
	@cmake --build --preset dev
	@ctest --preset dev

test-asan: deps
	@$(call CONFIGURE,asan)
	@cmake --build --preset asan
	@ctest --preset asan

test-tsan: deps
	@$(call CONFIGURE,tsan)
	@cmake --build --preset tsan
	@ctest --preset tsan

bench: build
	@./bench/run-all build/release

# clang warns where GCC does not, so warnings never stop the fuzz build.
FUZZ_SECONDS ?= 60
FUZZERS ?= all
fuzz:
	@./scripts/install-deps fuzz
	@cmake --preset fuzz -DSEQUELO_WERROR=OFF >/dev/null
	@cmake --build --preset fuzz
	@./scripts/fuzz $(if $(FUZZ_RUNS),-r $(FUZZ_RUNS),-t $(FUZZ_SECONDS)) $(FUZZERS)

format-check: deps
	@$(call CONFIGURE,dev)
	@cmake --build --preset dev --target format-check

format: deps
	@$(call CONFIGURE,dev)
	@cmake --build --preset dev --target format

clean:
	rm -rf build
