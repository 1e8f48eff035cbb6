# Thin front for the CMake presets: x64 (native), i386 (32-bit, run through
# qemu-i386 where the kernel needs it) and asan (x86-64 with ASan and UBSan).
# `make test` builds all three and runs every test; scripts/test.sh first
# installs what is missing.
PRESETS := x64 i386 asan

.PHONY: all test programs run bench clean

all: $(addprefix build-,$(PRESETS))

define preset_rules
.PHONY: configure-$(1) build-$(1) test-$(1)
configure-$(1):
	test -f build/$(1)/CMakeCache.txt || cmake --preset $(1)
build-$(1): configure-$(1)
	cmake --build --preset $(1)
test-$(1): build-$(1)
	ctest --preset $(1)
endef
$(foreach p,$(PRESETS),$(eval $(call preset_rules,$(p))))

test: test-x64 test-i386 test-asan

# consoledemo runs at 64 bits, argreport at 32 bits.
programs: build-x64 build-i386

run: programs
	bash scripts/run-programs.sh

# Benchmarks against ICU, iconv, GLib and the C++ library (x86-64, Release,
# build/bench); each binary prints its ratio table and targets.
bench:
	cmake --preset bench
	cmake --build --preset bench --target run_benchmarks

clean:
	rm -rf build
