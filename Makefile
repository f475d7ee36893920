# Wraps CMake + Ninja. `make test` always builds first, then runs every test twice: in the
# release build and in an ASan+UBSan build.
BUILD      ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS = -G Ninja -Wno-dev

.PHONY: all build deps test test-release test-asan demo bench clean format

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release

$(ASAN_BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug \
	  -DOMVI_SANITIZE=address,undefined

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)

test: build test-release test-asan

test-release: $(BUILD)/build.ninja
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) --output-on-failure

test-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure

demo: build
	scripts/demo $(BUILD)/omvi-agent-runner

bench: build
	bench/run $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
