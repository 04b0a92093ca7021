# Mergator: `make run` builds and runs the multiplexer on ./work,
# `make test` builds and runs every test (a normal and a sanitizer build).

BUILD      ?= build
ASAN_BUILD ?= build-asan
WORKDIR    ?= work
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps deps-test build build-asan run test test-normal test-asan bench clean

all: build

deps:
	@sh scripts/deps.sh build

deps-test:
	@sh scripts/deps.sh test

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

build-asan: deps-test
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMG_SANITIZE=ON -DMG_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)

# The first start in a new work directory configures it and ends with exit
# code 55; start it again so that it runs. Ctrl-C stops it. Standard input is
# not the terminal, so no "Press Enter" prompt holds up make at the end.
run: build
	@mkdir -p $(WORKDIR)
	@./$(BUILD)/mergator -d $(WORKDIR) </dev/null; rc=$$?; \
	if [ $$rc -eq 55 ]; then ./$(BUILD)/mergator -d $(WORKDIR) </dev/null; rc=$$?; fi; exit $$rc

test: deps-test
	$(MAKE) test-normal
	$(MAKE) test-asan

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
