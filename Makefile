# Thin wrapper over CMake for the README's commands.  Extra check steps live
# in mk/*.mk: each adds its target to CHECKS.
BUILD ?= build
# Evaluated when used, so that a ninja installed by deps is already seen.
GEN = $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CHECKS := test
# The interpreter the Python module is built for and tested with: the first
# python3 on PATH, which is the one `python3 -c 'import orvtape'` runs.
PYTHON ?= $(shell command -v python3)

.PHONY: deps all demo test check clean

# Installs the Debian packages the build needs (as root), or says which.
deps:
	@scripts/install-deps

all: deps
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=$(PYTHON)
	cmake --build $(BUILD) -j2
	@scripts/python-link $(BUILD) $(PYTHON)

demo: all
	./demo/run $(BUILD)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j2

-include mk/*.mk

# Everything CI runs: the README's test command.  The unit and host tests
# come last so that their summary closes the output.
check: deps $(filter-out test,$(CHECKS))
	$(MAKE) --no-print-directory test

clean:
	rm -rf $(BUILD) build-*
	@$(PYTHON) -c 'import os, site; p = os.path.join(site.getusersitepackages(), "orvtape-build.pth"); os.path.exists(p) and os.remove(p)'
