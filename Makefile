# Wraps CMake: make test, make demo, make bench, make install, make asan.
BUILD   ?= build
CMAKE_FLAGS ?=
JOBS    ?= 2
PREFIX  ?= /usr/local
DEMO    := $(BUILD)/demo

.PHONY: all deps build test demo asan samples bench install fuzz clean

all: build

deps:
	@tools/deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Asan $(CMAKE_FLAGS)"

# Remakes the sample files from their generator.
samples: build
	$(BUILD)/samples/mksamples samples

demo: build
	@rm -rf $(DEMO) && mkdir -p $(DEMO)/tiles $(DEMO)/waves
	$(BUILD)/tiles/vrel dump samples/tiles0000.art samples/palette.dat $(DEMO)/tiles
	@echo
	@echo "tile images and sidecars: $(DEMO)/tiles/"
	@ls $(DEMO)/tiles
	@echo
	$(BUILD)/tiles/vrel pump $(DEMO)/tiles0000.art samples/palette.dat $(DEMO)/tiles
	@tools/samearchive.sh samples/tiles0000.art $(DEMO)/tiles0000.art
	@echo
	$(BUILD)/waves/zbqtool dump samples/waves.zbq $(DEMO)/waves
	@echo
	@echo "bank script and raw samples: $(DEMO)/waves/"
	@ls $(DEMO)/waves
	@echo
	$(BUILD)/waves/zbqtool pump $(DEMO)/waves.zbq $(DEMO)/waves
	@cmp samples/waves.zbq $(DEMO)/waves.zbq && \
	    echo "round trip: $(DEMO)/waves.zbq is samples/waves.zbq again"

# Runs every fuzz target for FUZZTIME seconds (clang and libFuzzer are installed if missing).
FUZZTIME ?= 180
fuzz:
	@tools/deps.sh clang libclang-rt-dev
	tools/fuzz.sh $(FUZZTIME)

# Installs the programs and their manual pages under PREFIX (and DESTDIR, when given).
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf build build-*

# Builds the benchmarks, left out of the default build, and runs them.
bench: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target runbench
