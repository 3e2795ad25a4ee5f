# Thin wrapper over CMake for the README's commands.  Extra check steps live
# in mk/*.mk: each adds its target to CHECKS.
BUILD ?= build
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CHECKS := test

.PHONY: all demo test check clean

all:
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j2

demo: all
	./demo/run $(BUILD)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j2

-include mk/*.mk

# Everything CI runs: the README's test command.  The unit and host tests
# come last so that their summary closes the output.
check: $(filter-out test,$(CHECKS))
	$(MAKE) --no-print-directory test

clean:
	rm -rf $(BUILD) build-*
