# Smoke run of the benchmarks: they keep building and running, and every
# library figure is still produced (bench/run exits non-zero when a
# benchmark fails or a figure is missing; missed speed goals only show in the table).
.PHONY: check-bench
check-bench: deps
	bench/run --quick --build $(BUILD)
CHECKS += check-bench
