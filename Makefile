# Everything goes through CMake; these targets only add the set-up around it.
BUILD := build

.PHONY: all deps build test native fuzz demo bench soak clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j2

# Platform-free code built natively with clang, sanitizers on.
native: deps
	@bash scripts/native.sh test

test: build native
	bash tests/harness/run.sh $(BUILD)

fuzz: deps
	@bash scripts/native.sh fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) build-native

demo: deps
	@bash scripts/demo.sh

# Benchmarks, side by side with the practical limits; not part of the tests.
bench: build
	@bash scripts/bench.sh

# The randomised fault and kill tests, many more rounds, and the soak-only tests (named DISABLED_ so
# that make test passes them over).
soak: build
	QIRELL_SOAK_ROUNDS=$${QIRELL_SOAK_ROUNDS:-60} GTEST_ALSO_RUN_DISABLED_TESTS=1 CTEST_ARGS="-R patch_tests" \
	  bash tests/harness/run.sh $(BUILD)
