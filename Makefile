# Entry points. Each target installs what it needs first, so a fresh machine needs nothing else.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

SANITIZED ?= $(BUILD)/asan

.PHONY: setup configure build run test test-sanitized bench install fuzz clean

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Until `make install`, the application uses the disk-image tools of the build tree.
run: build
	@LARKHOLD_TOOLS_DIR=$(abspath $(BUILD))/tools/diskimage $(BUILD)/src/app/larkhold $(ARGS)

# The store and window suites built with the address and undefined-behaviour sanitizers and run one
# process per suite, then every test.
test: build
	@bash scripts/test-sanitized.sh $(SANITIZED) $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

test-sanitized: setup
	@bash scripts/test-sanitized.sh $(SANITIZED) $(JOBS)

bench: build
	@bash bench/run.sh $(BUILD)

fuzz: build
	@bash tests/fuzz/run.sh $(BUILD) $(FUZZ_RUNS)

install: build
	@cmake --install $(BUILD)

clean:
	@rm -rf $(BUILD)
