# check-sanitize: the whole suite built with ASan and UBSan in its own tree.
# The host_* tests install the library and build outside consumers against
# it, which cannot load a sanitized library; they run in the plain build.
# check-valgrind: the unit-test program of the regular build, once, under
# memcheck; any error or leak fails.  Tests that fork many children or time
# out under valgrind's slowdown are left to the other runs.
ASAN_BUILD ?= build-asan
VALGRIND_FILTER ?= -CrashSafety.*:HugeImage.*
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: check-sanitize check-valgrind
CHECKS += check-sanitize check-valgrind

check-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVTAPE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j2
	$(ASAN_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j2 -E '^host_'

check-valgrind: all
	valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  --track-fds=no --quiet $(BUILD)/tests/orvtape_tests --gtest_filter='$(VALGRIND_FILTER)' \
	  --gtest_brief=1

# check-tsan: the library and the tool built with ThreadSanitizer, and the
# tool's end-to-end tests run on it, so that every command whose codec work
# runs on worker threads (-j) is exercised; any report fails the run.
# Address randomisation is turned off for the run: ThreadSanitizer cannot
# map its shadow memory under the widest randomisation of some kernels.
TSAN_BUILD ?= build-tsan
TSAN_ENV := TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1

.PHONY: check-tsan
CHECKS += check-tsan

check-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVTAPE_TSAN=ON \
	  -DORVTAPE_BUILD_TESTS=OFF
	cmake --build $(TSAN_BUILD) -j2 --target orvtape
	$(TSAN_ENV) setarch $$(uname -m) -R python3 tools/tests/cli_test.py $(TSAN_BUILD)/tools/orvtape
	$(TSAN_ENV) setarch $$(uname -m) -R python3 tools/tests/formats_test.py $(TSAN_BUILD)/tools/orvtape
