# Wraps CMake + Ninja. `make test` always builds first, lints, then runs every test twice: in
# the release build and in an ASan+UBSan build; the unit and service tests run a third time in
# a ThreadSanitizer build (clang: GCC refuses the fences Asio uses under -fsanitize=thread).
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
CMAKE_FLAGS = -G Ninja -Wno-dev

.PHONY: all build deps test test-release test-asan test-tsan demo bench clean format lint \
	lint-format lint-cppcheck lint-tidy fuzz fuzz-ci

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

test: build lint test-release test-asan test-tsan

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

# Static analysis: formatting of every C++ file, cppcheck and clang-tidy on runner/, all as
# errors. clang-tidy keeps a stamp per source, so a second run checks only what changed.
lint: lint-format lint-cppcheck lint-tidy

lint-format:
	clang-format --dry-run --Werror $$(git ls-files '*.cc' '*.h')

# Suppressed: useStlAlgorithm (a plain loop often reads better than the algorithm it names);
# noExplicitConstructor in records.h (SharedText converts from text on purpose).
CPPCHECK_FLAGS = --quiet --enable=warning,style,performance,portability --std=c++20 \
  --language=c++ --inline-suppr --error-exitcode=1 -I . -D OMVI_VERSION='"0"' \
  --suppress=useStlAlgorithm --suppress=noExplicitConstructor:runner/records.h

lint-cppcheck: deps
	cppcheck $(CPPCHECK_FLAGS) -j2 runner/

TIDY_SOURCES := $(wildcard runner/*.cc runner/*/*.cc runner/*/*/*.cc)
TIDY_HEADERS := $(wildcard runner/*.h runner/*/*.h)
TIDY_STAMPS  := $(TIDY_SOURCES:%=$(BUILD)/tidy/%.ok)

lint-tidy: deps $(BUILD)/build.ninja
	@$(MAKE) --no-print-directory -j2 $(TIDY_STAMPS)

$(BUILD)/tidy/%.ok: % $(TIDY_HEADERS) .clang-tidy $(BUILD)/build.ninja
	@mkdir -p $(dir $@)
	@echo "clang-tidy $<"
	@clang-tidy -p $(BUILD) --quiet $< > $@.log 2>&1 || { grep -v 'warnings generated' $@.log; exit 1; }
	@touch $@

# Fuzzing (clang's libFuzzer with ASan+UBSan) in its own build: each target of fuzz/ runs for
# FUZZ_SECONDS; fuzz-ci is the shorter run CI makes after the tests. The ordinary builds replay
# the seed corpora under ctest instead.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 300

fuzz: deps
	FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz

fuzz-ci: deps
	FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_SECONDS=30 scripts/fuzz

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
