# A thin front for CMake. "make run" builds and starts warehouse; "make test"
# builds everything and runs every test; "make coverage" measures the tests'
# line coverage. BUILD and CMAKE_ARGS choose another build folder and
# configuration (the sanitizer build in .ci/run uses both).
BUILD ?= build
CMAKE_ARGS ?=

.PHONY: all run test coverage clean

all:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j

run: all
	./$(BUILD)/warehouse

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j2

# Line coverage of the programs' sources by the whole test suite (needs gcovr).
# Counts left by an earlier build would make the instrumented programs
# complain on standard error, so each measurement starts from none.
coverage:
	$(MAKE) all BUILD=build-coverage CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage"
	find build-coverage -name '*.gcda' -delete
	ctest --test-dir build-coverage --output-on-failure -j2
	gcovr --root . --object-directory build-coverage --exclude-directories 'build-coverage/CMakeFiles/[0-9]' --filter 'main\.cpp' --filter 'datastructure\.cpp' --print-summary

clean:
	rm -rf $(BUILD)
