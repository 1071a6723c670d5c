# make build:   compile the program, the library and the tests (needs only the
#               compiler, CMake and GoogleTest).
# make test:    install what is missing, build, run every test.
# make run:     build, then serve the program on 127.0.0.1 (SERVER=apache,
#               nginx or lighttpd; PORT=; STORE=pgsql keeps the users in a
#               private PostgreSQL cluster).
# make package: the Debian package, in the build tree.
BUILD ?= build
SAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
SERVER ?= apache
STORE ?= file
FUZZ_SECONDS ?= 600
# Every build tree, the scripts' included.
BUILD_TREES = $(BUILD) $(SAN_BUILD) build-fuzz build-bench build-mutate
# Sanitizer runs stop at the first error.
SAN_ENV = ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
          UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all build test run package bench fuzz format-check clean

all: build

build:
	@scripts/install-deps.sh build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

# The unit, CGI and system tests (browser tests under the three servers, the
# install, the package, the format check), then the unit and CGI tests again
# under the sanitizers, then 20 seconds of fuzzing for each target.
test:
	@scripts/install-deps.sh build test
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DHOB_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && $(SAN_ENV) ctest --output-on-failure -j$(JOBS) -LE system
	scripts/fuzz.sh 20

run: build
	@scripts/install-deps.sh $(SERVER) $(if $(filter pgsql,$(STORE)),pgsql)
	STORE=$(STORE) scripts/run-$(SERVER).sh $(BUILD)

package: build
	cd $(BUILD) && cpack -G DEB

fuzz:
	@scripts/install-deps.sh build fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

bench:
	@scripts/install-deps.sh build bench
	scripts/bench.sh

format-check:
	scripts/format-check.sh

# A tree made read-only by the install test is made writable first.
clean:
	for tree in $(BUILD_TREES); do [ ! -d $$tree ] || chmod -R u+w $$tree; done
	rm -rf $(BUILD_TREES)
