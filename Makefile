# The two commands: `make demo` and `make test`. Every target runs inside the
# project's toolchain (tools/devroot): a host CPython 3.14 with pybind11 3 when the
# machine has one, otherwise a Debian testing root built on first use.

TARGETS := demo test build bench check check-tables check-asan check-tsan check-leaks check-numbers coverage fuzz stubs clean
# The speech benchmark adds two synthesisers beside espeak-ng (a root of its own).
SPEECH_TARGETS := bench-speech
# These run in a root of their own that adds an OpenXR runtime to the toolchain.
OPENXR_TARGETS := demo-openxr check-openxr
# These add a headless browser too (both runtimes play the same script); the page's own
# packages are fetched first, by npm on this machine.
WEBXR_TARGETS := demo-webxr check-webxr
# These add node (in the browser's root) and the official Model Context Protocol clients,
# fetched first by npm on this machine: an agent at the end of the records.
AGENT_TARGETS := check-agent bench-agent demo-agent
# The documentation site, built with Sphinx (its own root); check-docs renders it in the
# browsers' root, which has Sphinx too.
BROWSER_ROOT := SPATIAL_DEVROOT_EXTRA=tools/devroot-openxr.packages:tools/devroot-webxr.packages:tools/devroot-docs.packages

# make dist builds the sdist and the x86-64 wheel in the toolchain root, then the aarch64
# wheel: cross-built in a root that adds a cross compiler, run under emulation there and
# tested in an aarch64 root with its own interpreter. Emulation needs a handler that only
# root can register (tools/binfmt); without it the aarch64 wheel is built and checked, and
# one line says that it was not run.
CROSS := SPATIAL_DEVROOT_EXTRA=tools/devroot-cross.packages

ifndef SPATIAL_INSIDE

.PHONY: $(TARGETS) $(SPEECH_TARGETS) $(OPENXR_TARGETS) $(WEBXR_TARGETS) $(AGENT_TARGETS) docs check-docs dist dist-aarch64
$(TARGETS):
	@tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

$(SPEECH_TARGETS):
	@SPATIAL_DEVROOT_EXTRA=tools/devroot-speech.packages tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

$(OPENXR_TARGETS):
	@SPATIAL_DEVROOT_EXTRA=tools/devroot-openxr.packages tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

dist:
	@tools/devroot run $(MAKE) --no-print-directory dist $(MAKEOVERRIDES)
	@$(MAKE) --no-print-directory dist-aarch64

dist-aarch64:
	@if [ "$$(tools/devroot mode)" = host ]; then \
	    echo "make dist: the aarch64 wheel is built in the project's toolchain roots: SPATIAL_DEVROOT=root make dist"; \
	    exit 0; fi; \
	$(CROSS) tools/devroot run $(MAKE) --no-print-directory dist-aarch64-build $(MAKEOVERRIDES)
	@if why=$$(tools/binfmt arm64 2>&1); then \
	    $(CROSS) tools/devroot run $(MAKE) --no-print-directory dist-aarch64-run $(MAKEOVERRIDES) && \
	    SPATIAL_DEVROOT_ARCH=arm64 tools/devroot run $(MAKE) --no-print-directory dist-aarch64-test $(MAKEOVERRIDES); \
	else echo "make dist: the aarch64 wheel is built and checked, not run: $${why#binfmt: }"; fi

$(WEBXR_TARGETS):
	@tools/npm-packages webxr
	@$(BROWSER_ROOT) tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

$(AGENT_TARGETS):
	@tools/npm-packages agent
	@$(BROWSER_ROOT) tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

docs:
	@SPATIAL_DEVROOT_EXTRA=tools/devroot-docs.packages tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

check-docs:
	@$(BROWSER_ROOT) tools/devroot run $(MAKE) --no-print-directory $@ $(MAKEOVERRIDES)

else

include tools/build.mk

endif
