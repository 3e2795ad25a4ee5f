# check-fuzz: builds the libFuzzer harness with clang in build-fuzz, replays
# the recorded regressions, then fuzzes it for FUZZ_SECONDS starting
# from the committed seeds.  Any crash, leak, sanitizer report or oracle
# failure fails the step; the input that caused it is left in build-fuzz/.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 120
FUZZ_HARNESSES := fuzz_tape fuzz_labels
FUZZ_FLAGS := -timeout=30 -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1

.PHONY: check-fuzz fuzz-build
CHECKS += check-fuzz

fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DORVTAPE_BUILD_FUZZ=ON -DORVTAPE_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j2 --target $(FUZZ_HARNESSES)

check-fuzz: fuzz-build
	@set -e; for h in $(FUZZ_HARNESSES); do \
	  regs=$$(ls fuzz/regressions/* 2>/dev/null || true); \
	  if [ -n "$$regs" ]; then echo "== $$h: replaying regressions"; \
	    $(FUZZ_BUILD)/fuzz/$$h $$regs; fi; \
	  mkdir -p $(FUZZ_BUILD)/corpus-$$h; \
	  echo "== $$h: fuzzing for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/$$h $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=$(FUZZ_BUILD)/$$h- $(FUZZ_BUILD)/corpus-$$h fuzz/corpus; \
	done
