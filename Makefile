# make        builds build/bin/zeladmin, build/bin/zeldispatch and build/bin/zelpasswd
# make check  readies the machine, then builds and runs every test twice:
#             as shipped (build/) and under ASan + UBSan (build-san/), runs
#             each fuzz target (build-fuzz/, clang) over its seed corpus and
#             20000 generated inputs, builds and checks the Debian package
#             (build-deb/), then the browser tests
# make fuzz   runs each fuzz target for FUZZ_SECONDS (default 60) seconds
# make lint   runs clang-tidy (.clang-tidy's checks, a function of at most
#             60 lines among them) over the sources
# make format checks that the sources are in the layout of .clang-format
#             (the generated admin/images.cpp aside); both are part of check
# make bench  runs the benchmarks under bench/
# make deb    builds the Debian package build-deb/zel_<release>_<arch>.deb
# make demo   a demo installation behind lighttpd on 127.0.0.1:8080
#             (DEMO_ARGS='--port 8081' for another port)
# make webservers  the shipped web server examples under lighttpd, Apache
#             and nginx (tests/webservers/), also the last step of check

BUILD := build
SAN   := build-san
FUZZ  := build-fuzz
DEB   := build-deb
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
DEMO_ARGS ?=

# The fuzz build is clang's; -Werror stays with the g++ builds, whose
# warnings every developer sees.
FUZZ_CMAKE := cmake -S . -B $(FUZZ) -G Ninja -DZEL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DZEL_WERROR=OFF

.PHONY: all check deps test test-san fuzz bench demo browser lint deb clean

all: $(BUILD)/build.ninja
	cmake --build $(BUILD)

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja

$(SAN)/build.ninja:
	cmake -S . -B $(SAN) -G Ninja -DZEL_SANITIZE=ON

deps:
	sh tools/install-deps.sh

check: deps format
	cmake -S . -B $(BUILD) -G Ninja -DZEL_WERROR=ON
	cmake --build $(BUILD)
	$(MAKE) --no-print-directory lint-only
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	cmake -S . -B $(SAN) -G Ninja -DZEL_SANITIZE=ON -DZEL_WERROR=ON
	cmake --build $(SAN)
	ctest --test-dir $(SAN) --output-on-failure -j $(JOBS)
	$(FUZZ_CMAKE)
	cmake --build $(FUZZ)
	sh tests/fuzz/run.sh $(FUZZ) check
	sh tests/package/run.sh $(DEB)
	sh tests/browser/run.sh $(BUILD)
	sh tests/webservers/run.sh $(BUILD)

browser: all
	sh tests/browser/run.sh $(BUILD)

.PHONY: webservers
webservers: all
	sh tests/webservers/run.sh $(BUILD)

demo: deps all
	sh tools/demo.sh $(DEMO_ARGS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-san: $(SAN)/build.ninja
	cmake --build $(SAN)
	ctest --test-dir $(SAN) --output-on-failure -j $(JOBS)

fuzz: deps
	$(FUZZ_CMAKE)
	cmake --build $(FUZZ)
	sh tests/fuzz/run.sh $(FUZZ) fuzz $(FUZZ_SECONDS)

# The sources of the programs and tools, as the build compiles them; the
# checks and their settings are in .clang-tidy.  The compiler's warnings
# are the -Werror build's business, hence -w.
lint: $(BUILD)/build.ninja
	sh tools/install-deps.sh lint
	$(MAKE) --no-print-directory lint-only

.PHONY: lint-only format
lint-only:
	run-clang-tidy -p $(BUILD) -j $(JOBS) -quiet -extra-arg=-w '$(CURDIR)/(lib|www|sys|admin|dispatch|tools)/'

bench: all
	sh tools/install-deps.sh bench
	sh bench/startup.sh
	sh bench/pages.sh
	sh bench/dispatch.sh
	sh bench/queue.sh
	sh bench/lines.sh
	sh bench/logview.sh
	sh bench/upload.sh
	sh bench/allocator.sh
	sh bench/web.sh

deb: deps
	sh tools/make-deb.sh $(DEB)

clean:
	rm -rf $(BUILD) $(SAN) $(FUZZ) $(DEB)

# The layout of every source but the generated pictures; clang-format -i
# on a file puts it right.
format:
	git ls-files -z '*.cpp' '*.h' ':!admin/images.cpp' | xargs -0 clang-format --dry-run --Werror
