# make        builds dist/Gatewright.exe (installing what the build needs)
# make check  builds everything and runs every test
# make demo   runs the program against the demo router
.PHONY: all setup check demo clean

all: setup
	@bash scripts/dist.sh

setup:
	@bash scripts/setup.sh

check:
	@bash scripts/check.sh

demo:
	@bash scripts/demo.sh

clean:
	rm -rf build/i686 build/x86_64 build/e2e build/wine dist
