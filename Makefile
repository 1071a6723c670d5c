# make test: install what is missing, build, run every test.
# make run:  build, then serve the program under Apache on 127.0.0.1.
BUILD ?= build
SAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
# Sanitizer runs stop at the first error.
SAN_ENV = ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
          UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all deps build test run bench fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DHOB_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && $(SAN_ENV) ctest --output-on-failure -j$(JOBS) -E e2e_browser
	scripts/fuzz.sh 20

FUZZ_SECONDS ?= 600
fuzz: deps
	scripts/fuzz.sh $(FUZZ_SECONDS)

run: build
	scripts/run-apache.sh $(BUILD)

bench: deps
	scripts/bench.sh

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
