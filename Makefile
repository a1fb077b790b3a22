# A thin front for CMake. "make run" builds and starts warehouse; "make test"
# builds everything and runs every test. BUILD and CMAKE_ARGS choose another
# build folder and configuration (the sanitizer build in .ci/run uses both).
BUILD ?= build
CMAKE_ARGS ?=

.PHONY: all run test clean

all:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j

run: all
	./$(BUILD)/warehouse

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j2

clean:
	rm -rf $(BUILD)
