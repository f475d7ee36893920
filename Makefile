# Wraps CMake + Ninja. `make test` always builds first, then runs every test twice: in the
# release build and in an ASan+UBSan build; the unit and service tests run a third time in a
# ThreadSanitizer build (clang: GCC refuses the fences Asio uses under -fsanitize=thread).
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
CMAKE_FLAGS = -G Ninja -Wno-dev

.PHONY: all build deps test test-release test-asan test-tsan demo bench clean format

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release

$(ASAN_BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug \
	  -DOMVI_SANITIZE=address,undefined

$(TSAN_BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug \
	  -DOMVI_SANITIZE=thread -DCMAKE_CXX_COMPILER=clang++

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD)

test: build test-release test-asan test-tsan

test-release: $(BUILD)/build.ninja
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) --output-on-failure

test-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure

test-tsan: deps $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) --target unit_tests service_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) -R '^(unit|service)$$' --output-on-failure

demo: build
	scripts/demo $(BUILD)/omvi-agent-runner

bench: build
	@scripts/install-deps bench
	bench/run $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cc' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
