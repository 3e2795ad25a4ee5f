# check-python: the Python module's tests, run from the build tree with the
# interpreter the module was built for.  An interpreter of its own (pyenv,
# say) may lack pytest: Debian's, which is pure Python, is then lent to it
# for this run only.
.PHONY: check-python
CHECKS += check-python

check-python: all
	@[ -d $(BUILD)/python/orvtape ] || { echo "check-python: the Python module was not built" >&2; exit 1; }
	@extra=; $(PYTHON) -c 'import pytest' 2>/dev/null || extra=:/usr/lib/python3/dist-packages; \
	  PYTHONPATH=$(abspath $(BUILD))/python$$extra ORVTAPE_TOOL=$(abspath $(BUILD))/tools/orvtape \
	  $(PYTHON) -m pytest -q -p no:cacheprovider python/tests
