# make        builds build/bin/zeladmin and build/bin/zeldispatch
# make check  readies the machine, then builds and runs every test twice:
#             as shipped (build/) and under ASan + UBSan (build-san/)
# make bench  runs the benchmarks under bench/
# make demo   a demo installation behind lighttpd on 127.0.0.1:8080

BUILD := build
SAN   := build-san
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all check deps test test-san bench demo browser clean

all: $(BUILD)/build.ninja
	cmake --build $(BUILD)

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja

$(SAN)/build.ninja:
	cmake -S . -B $(SAN) -G Ninja -DZEL_SANITIZE=ON

deps:
	sh tools/install-deps.sh

check: deps
	cmake -S . -B $(BUILD) -G Ninja -DZEL_WERROR=ON
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	cmake -S . -B $(SAN) -G Ninja -DZEL_SANITIZE=ON -DZEL_WERROR=ON
	cmake --build $(SAN)
	ctest --test-dir $(SAN) --output-on-failure -j $(JOBS)
	sh tests/browser/run.sh $(BUILD)

browser: all
	sh tests/browser/run.sh $(BUILD)

demo: deps all
	sh tools/demo.sh

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-san: $(SAN)/build.ninja
	cmake --build $(SAN)
	ctest --test-dir $(SAN) --output-on-failure -j $(JOBS)

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

clean:
	rm -rf $(BUILD) $(SAN)
