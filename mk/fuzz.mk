# check-fuzz: builds the libFuzzer harnesses with clang in build-fuzz, replays
# each one's recorded regressions and committed seeds, then fuzzes it from
# those seeds: fuzz_tape (fuzz/corpus, fuzz/regressions) for FUZZ_SECONDS,
# fuzz_formats and fuzz_labels (fuzz/corpus-NAME, fuzz/regressions-NAME) for
# FUZZ_TOOL_SECONDS.  Any crash, leak, sanitizer report or oracle
# failure fails the step; the input that caused it is left in build-fuzz/.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 120
FUZZ_TOOL_SECONDS ?= 45
FUZZ_HARNESSES := fuzz_tape fuzz_formats fuzz_labels
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
	  case $$h in \
	    fuzz_tape) dirs="fuzz/corpus fuzz/regressions"; secs=$(FUZZ_SECONDS) ;; \
	    *) dirs="fuzz/corpus-$${h#fuzz_} fuzz/regressions-$${h#fuzz_}"; secs=$(FUZZ_TOOL_SECONDS) ;; \
	  esac; \
	  set -- $$dirs; \
	  seen=$$(ls $$2/* $$1/* 2>/dev/null || true); \
	  if [ -n "$$seen" ]; then echo "== $$h: replaying regressions and seeds"; \
	    $(FUZZ_BUILD)/fuzz/$$h $$seen; fi; \
	  mkdir -p $(FUZZ_BUILD)/corpus-$$h; \
	  echo "== $$h: fuzzing for $$secs s"; \
	  $(FUZZ_BUILD)/fuzz/$$h $(FUZZ_FLAGS) -max_total_time=$$secs \
	    -artifact_prefix=$(FUZZ_BUILD)/$$h- $(FUZZ_BUILD)/corpus-$$h $$1; \
	done
