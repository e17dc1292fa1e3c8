# Velmaro: the telescope driver DLL, its simulator and their tests.
#   make build   dist/x64/Velmaro.DLL, dist/x86/Velmaro.DLL, dist/linux/velmaro-mountsim,
#                and the Windows installer dist/Velmaro-2.1-Setup.exe
#   make installer   the same (the installer needs both DLLs built first)
#   make check   every test (native, and the driver under Wine)
#   make demo    the driver talking to the simulated mount under Wine
#                (MODEL=1|2|3, BITS=64|32)
# check and demo install what is missing first (scripts/bootstrap).

MODEL ?= 2
BITS ?= 64

.PHONY: all bootstrap build installer check demo clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@scripts/build

# scripts/build ends with scripts/installer, once both DLLs are built.
installer: build

check: build
	@scripts/check

demo: build
	@BITS=$(BITS) scripts/demo $(MODEL)

clean:
	-@tests/wine/harness stop
	rm -rf build dist
