# check-docs: the API reference builds without a warning, so every public
# function and member stays documented.
.PHONY: check-docs
check-docs: all
	cmake --build $(BUILD) --target docs
CHECKS += check-docs
