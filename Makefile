# The two commands: `make demo` and `make test`. Every target runs inside the
# project's toolchain (tools/devroot): a host CPython 3.14 with pybind11 3 when the
# machine has one, otherwise a Debian testing root built on first use.

TARGETS := demo test build bench check check-asan check-tsan check-leaks check-numbers coverage fuzz stubs clean

ifndef SPATIAL_INSIDE

.PHONY: $(TARGETS)
$(TARGETS):
	@tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

else

include tools/build.mk

endif
