# Thin wrapper over CMake for the two commands of the README.
BUILD ?= build
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all demo test check clean

all:
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j2

demo: all
	./demo/run $(BUILD)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j2

clean:
	rm -rf $(BUILD)

# Everything CI runs: the README's test command.
check: test
