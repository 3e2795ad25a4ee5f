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
