# Wraps CMake: make test, make demo, make bench, make install, make asan, make mutate.
BUILD   ?= build
CMAKE_FLAGS ?=
JOBS    ?= 2
PREFIX  ?= /usr/local
DEMO    := $(BUILD)/demo
CONFIG  := $(strip -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS))
STAMP   := $(BUILD)/cmakeflags
TESTSTAMP := $(BUILD)/testdeps

MAKEFLAGS += --no-print-directory

.PHONY: all deps build test demo asan samples bench install fuzz mutate clean windows windows-test

all: build

# The packages the build and the tests need (tools/deps.sh).
deps:
	@tools/deps.sh tests

# Packages are checked and CMake run only when the build directory has no cache or was
# configured with other flags; the cache starts afresh, so a flag taken out is gone too.
ifneq ($(if $(wildcard $(BUILD)/CMakeCache.txt),$(shell cat $(STAMP) 2>/dev/null)),$(CONFIG))
.PHONY: $(STAMP)
endif
$(STAMP):
	@tools/deps.sh
	@rm -f $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) $(CONFIG)
	@printf '%s\n' '$(subst ','\'',$(CONFIG))' >$@

build: $(STAMP)
	cmake --build $(BUILD) -j $(JOBS)

# The tests' own packages are checked once for a build directory, as the build's are. A
# plain build (make demo) may have configured it before they were installed, so it is
# configured again, to find them; make build runs anew to see the stamp gone.
$(TESTSTAMP):
	@tools/deps.sh tests
	@rm -f $(STAMP)
	@mkdir -p $(BUILD) && touch $@

test: $(TESTSTAMP)
	@$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Asan $(CMAKE_FLAGS)"

# Remakes the sample files from their generator.
samples: $(STAMP)
	cmake --build $(BUILD) -j $(JOBS) --target mksamples
	$(BUILD)/samples/mksamples samples

# Builds only the two programs; of the build's lines it keeps those of work done, so a
# built tree shows the programs' own output and the round trips alone.
demo: $(STAMP)
	@{ cmake --build $(BUILD) -j $(JOBS) --target vrel zbqtool 2>&1; echo $$? >$(BUILD)/buildstatus; } | \
	    grep -v -e '\] Built target ' -e '^ninja: no work to do'; exit $$(cat $(BUILD)/buildstatus)
	@rm -rf $(DEMO) && mkdir -p $(DEMO)/tiles $(DEMO)/waves
	@$(BUILD)/tiles/vrel dump samples/tiles0000.art samples/palette.dat $(DEMO)/tiles
	@$(BUILD)/tiles/vrel pump $(DEMO)/tiles0000.art samples/palette.dat $(DEMO)/tiles
	@tools/samearchive.sh samples/tiles0000.art $(DEMO)/tiles0000.art
	@$(BUILD)/waves/zbqtool dump samples/waves.zbq $(DEMO)/waves
	@$(BUILD)/waves/zbqtool pump $(DEMO)/waves.zbq $(DEMO)/waves
	@cmp samples/waves.zbq $(DEMO)/waves.zbq && \
	    echo "round trip: $(DEMO)/waves.zbq is samples/waves.zbq again"

# Runs every fuzz target for FUZZTIME seconds (clang and libFuzzer are installed if missing).
FUZZTIME ?= 180
fuzz:
	@tools/deps.sh fuzz
	tools/fuzz.sh $(FUZZTIME)

# Runs each mutation of tools/mutations.txt alone against the whole suite (docs/testing.md);
# ONLY=tiles/art.cpp or ONLY=3,7-9 picks some; fails when fewer than MIN_SCORE% are killed.
ONLY      ?=
MIN_SCORE ?= 90
mutate:
	@tools/deps.sh tests
	tools/mutate --jobs $(JOBS) --min $(MIN_SCORE) $(if $(ONLY),--only '$(ONLY)')

# Installs the programs and their manual pages under PREFIX (and DESTDIR, when given).
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf build build-*

# Builds the benchmarks, left out of the default build, and runs them.
bench: $(STAMP)
	@tools/deps.sh bench
	cmake --build $(BUILD) -j $(JOBS) --target runbench

# Windows: both programs cross-built with mingw-w64 against LodePNG, Lua and libdeflate
# built from Debian's source packages (tools/winlibs.sh), packed into a zip in build/;
# windows-test runs the whole suite under wine.
WINBUILD := build-windows
WINE     := WINEPREFIX=$(CURDIR)/$(WINBUILD)/wine WINEDEBUG=-all
windows:
	@tools/deps.sh windows
	tools/winlibs.sh $(WINBUILD)/deps
	@[ -f $(WINBUILD)/CMakeCache.txt ] || cmake -S . -B $(WINBUILD) -DCMAKE_TOOLCHAIN_FILE=tools/windows.cmake \
	    -DWINDEPS=$(CURDIR)/$(WINBUILD)/deps/prefix -DGTEST_SOURCE=/usr/src/googletest $(CONFIG)
	cmake --build $(WINBUILD) -j $(JOBS) --target vrel zbqtool
	@tools/winzip.sh $(WINBUILD) $(BUILD)

windows-test: windows $(STAMP)
	@# one server for every test, each start of which costs seconds; the first run makes the prefix
	@$(WINE) /usr/lib/wine/wineserver -k 2>/dev/null || true
	@mkdir -p $(WINBUILD)/wine
	$(WINE) /usr/lib/wine/wineserver -p60
	$(WINE) /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
	$(WINE) cmake --build $(WINBUILD) -j $(JOBS)
	cd $(WINBUILD) && $(WINE) ctest --output-on-failure -j 1    # wine stalls at times with two
	cmake --build $(BUILD) -j $(JOBS) --target vrel zbqtool
	$(WINE) tools/windemo.sh $(WINBUILD) $(BUILD)
