# make test: install what is missing, build, run every test.
# make run:  build, then serve the program under Apache on 127.0.0.1.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test run bench fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

run: build
	scripts/run-apache.sh $(BUILD)

clean:
	rm -rf $(BUILD)
