# The two commands: `make demo` and `make test`. Every target runs inside the
# project's toolchain (tools/devroot): a host CPython 3.14 with pybind11 3 when the
# machine has one, otherwise a Debian testing root built on first use.

TARGETS := demo test build bench dist check check-tables check-asan check-tsan check-leaks check-numbers coverage fuzz stubs clean
# These run in a root of their own that adds an OpenXR runtime to the toolchain.
OPENXR_TARGETS := demo-openxr check-openxr
# These add a headless browser too (both runtimes play the same script); the page's own
# packages are fetched first, by npm on this machine.
WEBXR_TARGETS := demo-webxr check-webxr

ifndef SPATIAL_INSIDE

.PHONY: $(TARGETS) $(OPENXR_TARGETS) $(WEBXR_TARGETS)
$(TARGETS):
	@tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

$(OPENXR_TARGETS):
	@SPATIAL_DEVROOT_EXTRA=tools/devroot-openxr.packages tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

$(WEBXR_TARGETS):
	@tools/webxr-packages
	@SPATIAL_DEVROOT_EXTRA=tools/devroot-openxr.packages:tools/devroot-webxr.packages \
	    tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

else

include tools/build.mk

endif
