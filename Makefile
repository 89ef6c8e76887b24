# make              builds dist/Gatewright.exe (installing what the build needs)
# make check        builds everything and runs every test (TESTS=REGEX: the matching ones only;
#                   ARCH=x86_64: the 64-bit build, where the 32-bit one could run too)
# make demo         runs the program against the demo router
# make check-scripts  interrupts make check and checks that it recovers and leaves nothing behind
# make fuzz         fuzzes what the network sends, each target FUZZ_SECONDS (60) (tests/fuzz/README.md)
.PHONY: all setup check check-scripts demo fuzz clean

all: setup
	@bash scripts/dist.sh

setup:
	@bash scripts/setup.sh

# Exported rather than set before the command: sh would then stay between make
# and the script, and a SIGTERM to make would not reach the script.
check demo: export GW_ARCH = $(ARCH)

check:
	@bash scripts/check.sh $(if $(TESTS),-R '$(TESTS)')

check-scripts:
	@bash scripts/check-scripts.sh

demo:
	@bash scripts/demo.sh

fuzz: setup
	@bash scripts/fuzz.sh

clean:
	rm -rf build/i686 build/x86_64 build/e2e build/wine build/fuzz dist
