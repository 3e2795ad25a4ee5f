# Smoke run of the benchmarks: they keep building and running, and every
# library figure is still produced (bench/run exits non-zero when a
# benchmark fails or a figure is missing; missed speed goals only show in the table).
# After `all`, so that the tool is built and its figures (bench/peers too) run;
# the build is shared with the later steps, so it costs nothing extra.
.PHONY: check-bench
check-bench: all
	bench/run --quick --build $(BUILD)
CHECKS += check-bench
