# A thin front for CMake. "make run" builds the two programs and starts
# warehouse, keeping the stock in the store STORE (varasto.db in the folder
# it is run from, or a postgresql:// URI; "make run STORE=" runs without
# one); "make web" builds and starts warehouse-web, the owner's view, on
# STORE (LISTEN=ADDRESS:PORT to listen elsewhere than 127.0.0.1:8080;
# WEB_ARGS for its other options, such as --tls-cert and --tls-key);
# "make test" builds everything and runs every test; "make package" builds
# the Debian package; "make coverage" measures the tests' line coverage.
# Each first installs the Debian packages the machine lacks for it. BUILD
# and CMAKE_ARGS choose another build folder and configuration (the
# sanitizer build in .ci/run uses both); JOBS how many compilers run at
# once.
BUILD ?= build
CMAKE_ARGS ?=
STORE ?= varasto.db
JOBS ?= $(shell nproc 2> /dev/null || echo 2)

LISTEN ?=

# CMake's makefiles call make again and again, and each call would announce
# the folders it enters and leaves: hundreds of lines before a first prompt.
MAKEFLAGS += --no-print-directory

.PHONY: all programs run web test package coverage clean

# Everything the configuration asks for: the tests too, when GoogleTest is
# installed.
all:
	.ci/install-deps build
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

# The two programs only, in one line: what follows it is the compiler's
# own warnings and errors, which go to standard error.
programs:
	@.ci/install-deps build
	@echo "Building warehouse and warehouse-small in $(BUILD)/ ..."
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) > /dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target warehouse warehouse-small > /dev/null

run: programs
	./$(BUILD)/warehouse $(if $(STORE),--store '$(STORE)')

# The view reads a store and never makes one: a file that is not there yet
# is made by an empty run of warehouse first.
web:
	@.ci/install-deps build web
	@echo "Building warehouse and warehouse-web in $(BUILD)/ ..."
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DWAREHOUSE_WEB=ON > /dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target warehouse warehouse-web > /dev/null
	@case '$(STORE)' in postgres*://*) ;; *) [ -e '$(STORE)' ] || ./$(BUILD)/warehouse --store '$(STORE)' < /dev/null > /dev/null ;; esac
	@echo "Starting warehouse-web on $(STORE) ..."
	@./$(BUILD)/warehouse-web --store '$(STORE)' $(if $(LISTEN),--listen '$(LISTEN)') $(WEB_ARGS)

test:
	.ci/install-deps test
	$(MAKE) all CMAKE_ARGS="$(CMAKE_ARGS) -DWAREHOUSE_TESTS=ON"
	ctest --test-dir $(BUILD) --output-on-failure -j2

package: all
	cd $(BUILD) && cpack

# Line coverage of the programs' sources by the whole test suite (gcovr).
# Counts left by an earlier build would make the instrumented programs
# complain on standard error, so each measurement starts from none.
coverage:
	.ci/install-deps test coverage
	$(MAKE) all BUILD=build-coverage CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage -DWAREHOUSE_TESTS=ON"
	find build-coverage -name '*.gcda' -delete
	ctest --test-dir build-coverage --output-on-failure -j2
	gcovr --root . --object-directory build-coverage --exclude-directories 'build-coverage/CMakeFiles/[0-9]' --filter '(main|datastructure)\.cpp' --filter '(util|stock|console|store)/' --print-summary

clean:
	rm -rf $(BUILD)
