# Velmaro: the telescope driver DLL, its simulator and their tests.
#   make build   dist/x64/Velmaro.DLL, dist/x86/Velmaro.DLL, dist/linux/velmaro-mountsim,
#                and the Windows installer dist/Velmaro-2.1-Setup.exe
#   make installer   the same (the installer needs both DLLs built first)
#   make check   every test (native, and the driver under Wine)
#   make demo    the driver talking to the simulated mount under Wine
#                (MODEL=1|2|3, BITS=64|32)
#   make bench   the driver's figures against the protocol's floor (not a test)
#   make soak    a bounded chaos run against a misbehaving mount (MINUTES=n)
#   make load    the Alpaca server under 27 clients at once, on loopback (MINUTES=n, default 2; not a test)
#                PROFILE=night: three programs through a night in which the mount's device goes
#                away twice and the mount falls silent once
#   make fuzz    the Alpaca request fuzzer, libFuzzer under ASan/UBSan (MINUTES=n, default 10)
#   make deb     the server's Debian packages, dist/velmaro-alpaca_2.1-1_{amd64,arm64,armhf}.deb
#   make deb-check   those packages built afresh and checked (lintian, arm64 and armhf
#                under qemu, amd64 installed into a clean Debian root); CI runs it after check
# Each installs what it is missing first (scripts/bootstrap): demo only one
# bitness's compilers and Wine; build both and the installer's; check the
# tests' too; deb and fuzz their tools. make bootstrap installs everything.

MODEL ?= 2
BITS ?= 64
MINUTES ?= 2
SEED ?=
PROFILE ?=

.PHONY: all bootstrap build installer check demo clean bench soak fuzz load deb deb-check

all: build

bootstrap:
	@scripts/bootstrap

build:
	@scripts/bootstrap build
	@scripts/build

# scripts/build ends with scripts/installer, once both DLLs are built.
installer: build

# scripts/check builds too, while the test harness gets ready.
check:
	@scripts/bootstrap check
	@scripts/check

# The demo builds only what it runs (one bitness, no tests).
demo:
	@BITS=$(BITS) scripts/bootstrap demo
	@BITS=$(BITS) scripts/build demo
	@BITS=$(BITS) scripts/demo $(MODEL)

bench: build
	@scripts/bench

soak: build
	@MINUTES=$(MINUTES) SEED=$(SEED) scripts/soak

load: build
	@MINUTES=$(MINUTES) PROFILE=$(PROFILE) scripts/load

# MINUTES is soak's (default 2) unless given: the fuzzer's own default is 10.
fuzz:
	@scripts/bootstrap fuzz
	@scripts/fuzz $(if $(filter command line environment,$(origin MINUTES)),$(MINUTES),10)

deb:
	@scripts/bootstrap deb
	@scripts/deb

# The protocol tests' program comes from the native tree.
deb-check: build
	@scripts/bootstrap deb
	@scripts/deb
	@scripts/deb-check

clean:
	-@tests/wine/harness stop
	rm -rf build dist
